#include "update/signedfetch.h"

#include "base/updatetypes.h"
#include "services/contentsignature.h"
#include "update/patchchain.h"

#include <QDebug>
#include <QNetworkReply>
#include <QSet>
#include <QTimer>

void getSignedDocument(HttpClient& http, const QString& baseUrl, const QString& name,
                       contentsig::Kind kind, SignedReplyCallback onFinished)
{
    const QString url = baseUrl + QLatin1Char('/') + name;
    auto getDocument = [&http, url, onFinished](const contentsig::Signature& signature) {
        http.httpGet(url, HeaderMap(),
                     [signature, onFinished](QNetworkReply* r) { onFinished(r, signature); });
        limitReply(http.currentReply, signature.lengthLimit(contentsig::MaxDocumentBytes));
    };
    if (!contentsig::required()) {
        getDocument(contentsig::Signature());
        return;
    }
    contentsig::Expectation expected{kind,
                                     QString(name).replace(QLatin1Char('\\'), QLatin1Char('/'))};
    // A step's list belongs to the publication of the patch list, or a later one.
    if (kind == contentsig::Kind::FileList)
        expected.minSequence = contentsig::acceptedSequence(QStringLiteral("patchlist.json"));
    http.httpGet(contentsig::signatureUrl(url), HeaderMap(),
                 [expected, getDocument](QNetworkReply* s) {
                     getDocument(contentsig::Signature::fromReply(s, expected));
                 });
    limitReply(http.currentReply, contentsig::MaxEnvelopeBytes);
}

QJsonObject admittedJson(const QByteArray& body, const QString& url,
                         const contentsig::Signature& signature)
{
    return signature.admits(body, url) ? parseJsonObject(QString::fromUtf8(body)) : QJsonObject();
}

void pruneSequenceRecord(const QJsonObject& patchList)
{
    if (!contentsig::required())
        return;
    QSet<QString> names;
    for (const bool full : {false, true}) {
        for (const PatchStep& step : patchStepMap(patchList, full)) {
            QString path = QString(step.path).replace(QLatin1Char('\\'), QLatin1Char('/'));
            names << path + QLatin1String("/patchfiles.json");
            // The patch thread's whole-file fallback reads the step's twin.
            if (!path.contains(QLatin1String("_full")))
                names << path + QLatin1String("_full/patchfiles.json");
        }
    }
    contentsig::pruneRecord(names);
}

void fetchSignedJson(QObject* context, HttpClient& http, const QString& baseUrl, const QString& url,
                     JsonCallback onJson)
{
    QTimer::singleShot(0, context, [&http, &baseUrl, url, onJson] {
        getSignedDocument(http, baseUrl, contentsig::documentName(baseUrl, url),
                          contentsig::Kind::FileList,
                          [url, onJson](QNetworkReply* r, const contentsig::Signature& signature) {
                              QJsonObject object;
                              if (r->error() != QNetworkReply::NoError)
                                  qDebug() << "download" << url << "error";
                              else // a refused list reads as one that could not be had at all
                                  object = admittedJson(r->readAll(), askedUrl(r), signature);
                              if (onJson)
                                  onJson(object);
                          });
    });
}

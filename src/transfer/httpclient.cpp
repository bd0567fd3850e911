#include "transfer/httpclient.h"

#include "transfer/replyguard.h"
#include "base/updatetypes.h"

#include <QDateTime>
#include <QDebug>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <memory>

namespace
{

const qint64 readBufferBytes = 4 * 1024 * 1024;
const char* const clientProperty = "drevnaHttpClient";
// A capped reply with data left is offered again after this pause.
const int capRetryMs = 20;

QString errorText(QNetworkReply* reply)
{
    return reply->error() == QNetworkReply::NoError ? QStringLiteral("ok") : reply->errorString();
}

} // namespace

HttpClient::HttpClient(QObject* parent) : QObject(parent) {}

void HttpClient::httpGet(const QString& url, const HeaderMap& headers, ReplyCallback onFinished,
                         ReplyCallback onReadyRead, ProgressCallback onProgress)
{
    QString text = url;
    text.replace(QLatin1Char('\\'), QLatin1Char('/'));
    // The content server's caches key on the full address: a fresh stamp on
    // every request, even after an existing query.
    text += QStringLiteral("?time=") +
            QString::number(quint32(QDateTime::currentDateTimeUtc().toSecsSinceEpoch()));

    QNetworkRequest request(QUrl(text, QUrl::TolerantMode));
    // Redirects arrive as replies of their own; nothing is followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // Several transfers share each of the few connections a host gets.
    request.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute, true);
    qDebug() << "download url:" << text;
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
        qDebug() << "header:" << it.key() << "->" << it.value();
        request.setRawHeader(it.key().toLatin1(), it.value().toLatin1());
    }

    QNetworkReply* reply = networkManager.get(request);
    currentReply = reply;
    // The cap keeps a download that is written chunk by chunk small in
    // memory. A caller that reads the body only when it has finished must
    // not have it: once the buffer is full nothing more is read and the
    // reply never finishes.
    if (onReadyRead)
        reply->setReadBufferSize(readBufferBytes);
    reply->setProperty(clientProperty, QVariant::fromValue<QObject*>(this));

    // Guards the wait for the first data, then the gaps between chunks, so a
    // transfer that stalls midway ends in an error the callers retry instead
    // of hanging for good.
    guardReply(reply, firstDataTimeoutMs, stallTimeoutMs, onReadyRead ? 0 : documentDeadlineMs);
    // Qt gives a host six connections and queues the rest behind them.
    connect(
        this, &HttpClient::received, reply, [reply] { othersReceived(reply); },
        Qt::DirectConnection);
    connect(reply, &QNetworkReply::downloadProgress, this, &HttpClient::received,
            Qt::DirectConnection);

    connect(
        reply, &QNetworkReply::errorOccurred, this,
        [reply] {
            qDebug() << "download error" << reply->url().toString()
                     << " error code:" << errorText(reply);
        },
        Qt::DirectConnection);
    // Under a cap the body may still wait in the reply when it finishes: the
    // finish is held back until the last of it has been read.
    // The connection owns the handler; its retries hold it only while due.
    auto finish = std::make_shared<std::function<void()>>();
    const std::weak_ptr<std::function<void()>> self = finish;
    *finish = [this, reply, onFinished, onReadyRead, self] {
        if (onReadyRead && maxBytesPerSecond > 0 && reply->bytesAvailable() > 0 &&
            reply->error() == QNetworkReply::NoError) {
            deliver(reply, onReadyRead);
            QTimer::singleShot(capRetryMs, reply, [again = self.lock()] { (*again)(); });
            return;
        }
        qDebug() << "download Finish" << reply->url().toString()
                 << " error code:" << errorText(reply);
        if (currentReply == reply)
            currentReply = nullptr;
        if (onFinished)
            onFinished(reply);
        reply->deleteLater();
    };
    connect(
        reply, &QNetworkReply::finished, this, [finish] { (*finish)(); }, Qt::DirectConnection);
    connect(
        reply, &QNetworkReply::readyRead, this,
        [this, reply, onReadyRead] { deliver(reply, onReadyRead); }, Qt::DirectConnection);
    if (onProgress)
        connect(
            reply, &QNetworkReply::downloadProgress, this,
            [reply, onProgress](qint64 received, qint64 total) {
                onProgress(reply, received, total);
            },
            Qt::DirectConnection);
}

void HttpClient::deliver(QNetworkReply* reply, const ReplyCallback& onReadyRead)
{
    if (!onReadyRead)
        return;
    onReadyRead(reply);
    // Data the cap held back gets no new signal once the buffer is full.
    if (maxBytesPerSecond > 0 && reply->bytesAvailable() > 0 && reply->isRunning() &&
        !reply->property("drevnaCapPending").toBool()) {
        reply->setProperty("drevnaCapPending", true);
        QTimer::singleShot(capRetryMs, reply, [this, reply, onReadyRead] {
            reply->setProperty("drevnaCapPending", false);
            deliver(reply, onReadyRead);
        });
    }
}

qint64 HttpClient::allowance()
{
    if (!capClock.isValid()) {
        capClock.start();
        capSpent = 0;
    }
    const qint64 earned = maxBytesPerSecond * capClock.elapsed() / 1000;
    // Unused time saves up no more than a tenth of a second's worth.
    const qint64 burst = qMax<qint64>(maxBytesPerSecond / 10, 1);
    if (earned - capSpent > burst)
        capSpent = earned - burst;
    return earned - capSpent;
}

QByteArray readBody(QNetworkReply* reply)
{
    auto* client = qobject_cast<HttpClient*>(reply->property(clientProperty).value<QObject*>());
    if (!client || client->maxBytesPerSecond <= 0)
        return reply->read(reply->bytesAvailable());
    const qint64 n = qMin(reply->bytesAvailable(), client->allowance());
    if (n <= 0)
        return QByteArray();
    client->spend(n);
    return reply->read(n);
}

void fetchJson(HttpClient* client, const QString& url, JsonCallback onJson)
{
    const QString target = url;
    QTimer::singleShot(0, client, [client, target, onJson] {
        client->httpGet(target, HeaderMap(), [target, onJson](QNetworkReply* reply) {
            if (reply->error() != QNetworkReply::NoError) {
                qDebug() << "download" << target << "error";
                if (onJson)
                    onJson(QJsonObject());
                return;
            }
            const QJsonObject object = parseJsonObject(QString::fromUtf8(reply->readAll()));
            if (onJson)
                onJson(object);
        });
    });
}

bool replyCarriesContent(QNetworkReply* reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return !status.isValid() || status.toInt() < 300;
}

QString transferFailure(QNetworkReply* reply)
{
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    if (!replyCarriesContent(reply))
        return QStringLiteral("HTTP status %1")
            .arg(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
    return QString();
}

// The window's documents under the operator's signature: the launcher
// version file, the remote update configuration and the setup program, and
// before them the keys document's new versions.
#include "app/channel.h"
#include "app/mainwindow.h"
#include "services/contentsignature.h"
#include "services/keysdocument.h"
#include "transfer/replyguard.h"
#include "update/patchmanager.h"

#include <QDateTime>
#include <QFile>
#include <QNetworkReply>
#include <QPointer>
#include <QUrl>

void MainWindow::getSignedContent(const QString& base, const QString& url, contentsig::Kind kind,
                                  std::function<void()> onFinished)
{
    auto getDocument = [this, url, kind, onFinished](const contentsig::Signature& signature) {
        QNetworkReply* document = getContent(url);
        limitReply(document, signature.lengthLimit(contentsig::MaxDocumentBytes));
        connect(document, &QNetworkReply::finished, this,
                [this, document, signature, url, kind, onFinished] {
                    // The handlers read the document's reply, as before.
                    currentReply = document;
                    // A refused document is dropped unread: its handler meets
                    // an empty body and answers as for any unreadable one.
                    if (document->error() == QNetworkReply::NoError) {
                        if (!signature.admits(document->peek(document->bytesAvailable()), url))
                            document->readAll();
                        else if (kind == contentsig::Kind::Version)
                            versionFileSequence = signature.sequence();
                    }
                    onFinished();
                });
    };
    if (!contentsig::required()) {
        getDocument(contentsig::Signature());
        return;
    }
    QString patchFolder, game;
    installFolders(&patchFolder, &game);
    contentsig::setRecordFolder(game);
    // The keys that sign the document may be newer than the trusted ones.
    if (contentsig::rootKeysConfigured() && !keysWalked.contains(base)) {
        keysWalked.insert(base);
        QElapsedTimer clock;
        clock.start();
        walkKeys(base, 0, clock, [this, base, url, kind, onFinished] {
            getSignedContent(base, url, kind, onFinished);
        });
        return;
    }
    const contentsig::Expectation expected{kind, contentsig::documentName(base, url)};
    QNetworkReply* signatureReply = getContent(contentsig::signatureUrl(url));
    limitReply(signatureReply, contentsig::MaxEnvelopeBytes);
    connect(signatureReply, &QNetworkReply::finished, this,
            [signatureReply, expected, getDocument] {
                const auto signature = contentsig::Signature::fromReply(signatureReply, expected);
                signatureReply->deleteLater();
                getDocument(signature);
            });
}

void MainWindow::walkKeys(const QString& base, int taken, QElapsedTimer clock,
                          std::function<void()> then)
{
    if (taken >= contentsig::MaxKeysVersionsPerStart || clock.hasExpired(requestDeadlineMs)) {
        then();
        return;
    }
    const QString url = base + contentsig::keysDocumentName(contentsig::trustedKeysVersion() + 1) +
                        QStringLiteral("?time=") +
                        QString::number(QDateTime::currentSecsSinceEpoch());
    QNetworkReply* reply = getContent(url);
    limitReply(reply, contentsig::MaxEnvelopeBytes);
    connect(reply, &QNetworkReply::finished, this, [this, reply, base, taken, clock, then, url] {
        reply->deleteLater();
        // No newer version, or none to be had: the trusted one stays in force.
        if (reply->error() == QNetworkReply::NoError &&
            contentsig::trustNextKeys(reply->readAll(), url))
            walkKeys(base, taken + 1, clock, then);
        else
            then();
    });
}

void MainWindow::downloadSetup(const QString& url)
{
    setupSignature.reset();
    if (!contentsig::required()) {
        startSetupDownload(url);
        return;
    }
    // Named below the content server it comes from, or else from its
    // server's root; at least as new as the version file that announced it.
    contentsig::Expectation expected{contentsig::Kind::Setup,
                                     contentsig::documentName(channel::contentBaseA(), url),
                                     versionFileSequence};
    if (expected.name.isEmpty())
        expected.name = contentsig::documentName(channel::contentBaseB(), url);
    if (expected.name.isEmpty())
        expected.name = QUrl(url).path().mid(1);
    // Like the setup program's own transfer, this one may outlive the window.
    patchManager->httpGet(
        contentsig::signatureUrl(url), HeaderMap(),
        [this, window = QPointer<MainWindow>(this), url, expected](QNetworkReply* reply) {
            if (!window)
                return;
            setupSignature = std::make_shared<contentsig::Signature>(
                contentsig::Signature::fromReply(reply, expected));
            startSetupDownload(url);
        });
    limitReply(patchManager->httpClient().currentReply, contentsig::MaxEnvelopeBytes);
}

void MainWindow::checkSetupSignature(const QString& url, const QString& path,
                                     std::function<void(bool)> done)
{
    if (!contentsig::required()) {
        done(true);
        return;
    }
    const bool admitted = setupSignature && setupSignature->admitsFile(path, url);
    if (!admitted)
        QFile::remove(path);
    done(admitted);
}

// The window's documents under the operator's signature: the launcher
// version file, the remote update configuration and the setup program.
#include "app/mainwindow.h"
#include "services/contentsignature.h"
#include "update/patchmanager.h"

#include <QFile>
#include <QNetworkReply>

void MainWindow::afterContentSignature(std::function<void()> next)
{
    if (!contentsig::required()) {
        next();
        return;
    }
    QNetworkReply* document = currentReply;
    const QString url = document->url().toString();
    QNetworkReply* signatureReply = getContent(contentsig::signatureUrl(url));
    connect(signatureReply, &QNetworkReply::finished, this,
            [this, document, signatureReply, url, next] {
                const auto signature = contentsig::Signature::fromReply(signatureReply);
                signatureReply->deleteLater();
                // The handlers read the document's reply, as before.
                currentReply = document;
                // A refused document is dropped unread: its handler meets an
                // empty body and answers as for any unreadable document.
                if (!signature.admits(document->peek(document->bytesAvailable()), url))
                    document->readAll();
                next();
            });
}

void MainWindow::checkSetupSignature(const QString& url, const QString& path,
                                     std::function<void(bool)> done)
{
    if (!contentsig::required()) {
        done(true);
        return;
    }
    patchManager->httpGet(
        contentsig::signatureUrl(url), HeaderMap(), [url, path, done](QNetworkReply* reply) {
            const bool admitted = contentsig::Signature::fromReply(reply).admitsFile(path, url);
            if (!admitted)
                QFile::remove(path);
            done(admitted);
        });
}

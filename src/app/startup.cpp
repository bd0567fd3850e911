// The start-up network sequence: launcher version file, remote update
// configuration, and the hand-over to the update engine.
#include "app/channel.h"
#include "app/mainwindow.h"
#include "base/buildconfig.h"
#include "services/contentsignature.h"
#include "transfer/replyguard.h"
#include "ui_mainwindow.h"
#include "update/patchmanager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardPaths>

namespace
{
QString timeQuery()
{
    return QStringLiteral("?time=") + QString::number(QDateTime::currentDateTime().toTime_t());
}
} // namespace

int MainWindow::requestFirstDataTimeoutMs = defaultFirstDataTimeoutMs;
int MainWindow::requestStallTimeoutMs = defaultStallTimeoutMs;
int MainWindow::requestDeadlineMs = defaultDocumentDeadlineMs;

void MainWindow::showInfoBox(const QString& text)
{
    QMessageBox::information(this, QStringLiteral("提示"), text, QMessageBox::Ok);
}

QNetworkReply* MainWindow::getContent(const QString& url)
{
    if (!networkManager)
        networkManager = new QNetworkAccessManager(this);
    QString address = url;
    address.replace(QLatin1Char('\\'), QLatin1Char('/'));
    currentReply = networkManager->get(QNetworkRequest(QUrl(address, QUrl::TolerantMode)));
    // A server that accepts and then says nothing would hold the start-up on
    // its first text for good: give up as the update engine does, so the
    // failure takes its usual way (fallback server, then the box).
    guardReply(currentReply, requestFirstDataTimeoutMs, requestStallTimeoutMs, requestDeadlineMs);
    return currentReply;
}

void MainWindow::checkLauncherVersion(bool fallback)
{
    if (ui->DownloadFileName->isHidden())
        ui->DownloadFileName->setVisible(true);
    ui->DownloadFileName->setText(QStringLiteral("检查版本..."));
    getSignedContent(fallback ? channel::contentBaseB() : channel::contentBaseA(),
                     channel::launcherVersionUrl(fallback), contentsig::Kind::Version,
                     [this, fallback] { onLauncherVersionReply(fallback); });
}

void MainWindow::onLauncherVersionReply(bool fallback)
{
    if (currentReply->error() == QNetworkReply::NoError) {
        processVersionFile();
        return;
    }
    if (!fallback) {
        qDebug() << "下载器访问版本文件失败";
        checkLauncherVersion(true);
        return;
    }
    showInfoBox(QStringLiteral("检查更新失败-104"));
    dealover();
}

void MainWindow::MannualUpdateSelf()
{
    checkLauncherVersion(false);
}

void MainWindow::dealover()
{
    ui->DownloadFileName->clear();
    ui->DownloadFileName->hide();
    ui->UpdateInfo->setText(QStringLiteral("开始更新..."));
    ui->UpdateInfo->adjustSize();
    requestUpdateConfig(channel::contentBaseA() + channel::updateConfigName() + timeQuery());
    ui->Pause->setEnabled(true);
}

void MainWindow::dealoverEx()
{
    requestUpdateConfigFallback(channel::contentBaseB() + channel::updateConfigName() +
                                timeQuery());
    ui->Pause->setEnabled(true);
}

void MainWindow::requestUpdateConfig(const QString& url)
{
    getSignedContent(channel::contentBaseA(), url, contentsig::Kind::Config,
                     [this] { OnGetUpdateConfigFinished(); });
}

void MainWindow::requestUpdateConfigFallback(const QString& url)
{
    getSignedContent(channel::contentBaseB(), url, contentsig::Kind::Config,
                     [this] { OnGetUpdateConfigFinishedEx(); });
}

void MainWindow::OnGetUpdateConfigFinished()
{
    if (currentReply->error() != QNetworkReply::NoError) {
        dealoverEx();
        return;
    }
    handleUpdateConfigReply("Url");
}

void MainWindow::OnGetUpdateConfigFinishedEx()
{
    if (currentReply->error() != QNetworkReply::NoError) {
        showInfoBox(QStringLiteral("检查更新失败-4"));
        return;
    }
    handleUpdateConfigReply("OriginalUrl");
}

void MainWindow::handleUpdateConfigReply(const char* key)
{
    QJsonParseError error;
    const QJsonDocument doc =
        QJsonDocument::fromJson(QString::fromUtf8(currentReply->readAll()).toUtf8(), &error);
    if (doc.isNull() || error.error != QJsonParseError::NoError) {
        showInfoBox(QStringLiteral("检查更新失败-2"));
        return;
    }
    if (!doc.isObject()) {
        showInfoBox(QStringLiteral("检查更新失败-3"));
        return;
    }
    const QJsonObject config = doc.object();
    if (config.isEmpty()) {
        showInfoBox(QStringLiteral("检查更新失败-1"));
        return;
    }
    startGameUpdate(config.value(QLatin1String(key)).toString());
}

void MainWindow::installFolders(QString* patchFolder, QString* game) const
{
    const QString launcherDir = QCoreApplication::applicationDirPath();
    if (launcherDir.startsWith(QLatin1String("C:/"), Qt::CaseInsensitive)) {
        const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        const QString product = buildFolderLayout == FolderLayout::InstalledApp
                                    ? QStringLiteral("DrevnaApp")
                                    : channel::productName();
        *patchFolder = data + "/" + product + "/Patch";
        *game = data + "/" + product + "/Drevna";
    } else if (buildFolderLayout == FolderLayout::InstalledApp) {
        const QString cwd = QDir::current().canonicalPath();
        *patchFolder = cwd + "/Patch";
        *game = cwd + "/Drevna";
    } else {
        *game = launcherDir + "/Drevna";
        *patchFolder = launcherDir + "/Patch";
    }
}

void MainWindow::startGameUpdate(const QString& configUrl)
{
    QString patchFolder;
    installFolders(&patchFolder, &gameDir);
    if (buildFolderLayout != FolderLayout::InstalledApp &&
        !QCoreApplication::applicationDirPath().startsWith(QLatin1String("C:/"),
                                                           Qt::CaseInsensitive))
        qDebug() << "DrevnaExePath:" << gameDir;
    patchManager->init(this, configUrl, patchFolder, gameDir);
    // For support staff and scripts: a repair once the start-up update is done.
    if (QCoreApplication::arguments().contains(QStringLiteral("--repair")))
        patchManager->requestRepair();
    patchManager->start();
}

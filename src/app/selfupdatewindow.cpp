// The launcher's self-update as the window shows it: the version check's
// boxes, the setup program's download and its start.
#include "app/channel.h"
#include "app/mainwindow.h"
#include "base/buildconfig.h"
#include "base/platform.h"
#include "services/contentsignature.h"
#include "services/selfupdate.h"
#include "services/settings.h"
#include "update/patchmanager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <memory>

namespace
{

int localLauncherVersion()
{
    return QSettings(launcherSettingsPath(), QSettings::IniFormat)
        .value(QStringLiteral("version/version"))
        .toInt();
}

QString setupProgramPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) +
           QStringLiteral("/") + channel::clientName() + QStringLiteral("/REZ-setup.exe");
}

// One setup download, shared by its callbacks.
struct SetupDownload {
    QFile file;
    bool writeFailed = false;
    QString errorText;
    qint64 maxBytes = MaxSetupBytes; // or the signed length
};

} // namespace

void MainWindow::processVersionFile()
{
    QNetworkReply* reply = currentReply;
    const QByteArray body = reply->readAll();
    // dealover() replaces currentReply, so this one is released by pointer.
    reply->deleteLater();

    const LauncherVersionFile versionFile = readLauncherVersionFile(body);
    if (versionFile.error != 0) {
        showInfoBox(QStringLiteral("检查更新失败%1").arg(versionFile.error));
        dealover();
        return;
    }
    remoteLauncherVersion = versionFile.version;

    if (buildFolderLayout == FolderLayout::Launcher) {
        qDebug() << "localVersionFilePath:" << launcherSettingsPath();
        qDebug() << "DrevnaExePath:" << QCoreApplication::applicationDirPath() + "/Drevna";
    }

    if (localLauncherVersion() < remoteLauncherVersion) {
        downloadSetup(versionFile.url);
        return;
    }
    const QString setupPath = setupProgramPath();
    if (QFile::exists(setupPath))
        QFile::remove(setupPath);
    dealover();
}

void MainWindow::startSetupDownload(const QString& url)
{
    const QString path = setupProgramPath();
    if (QFile::exists(path))
        QFile::remove(path);
    QDir().mkpath(QFileInfo(path).absolutePath());

    auto download = std::make_shared<SetupDownload>();
    download->file.setFileName(path);
    // Unbuffered, so that a failing disk shows at the write that failed.
    if (!download->file.open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered)) {
        showInfoBox(QStringLiteral("检查更新失败-107"));
        qDebug().noquote() << QStringLiteral("%1 下载器写入失败").arg(path);
        dealover();
        return;
    }

    auto failDownload = [this, download] {
        showInfoBox(QStringLiteral("检查更新失败-108"));
        qDebug() << "下载器download:" << download->file.fileName()
                 << "error:" << download->errorText;
        download->file.close();
        // No part of a program is kept for a later start to find.
        download->file.remove();
        dealover();
    };

    if (setupSignature)
        download->maxBytes = setupSignature->lengthLimit(MaxSetupBytes);
    auto onReadyRead = [download](QNetworkReply* reply) {
        const QByteArray data = readBody(reply);
        if (download->writeFailed)
            return;
        if (download->file.size() + data.size() > download->maxBytes) {
            qDebug() << "download too long" << reply->url().toString() << "over"
                     << download->maxBytes;
            reply->abort();
            return;
        }
        if (download->file.write(data) >= data.size())
            return;
        // No box here: the reply could finish and be freed in the box's event
        // loop while this emission still runs on it. The transfer ends now,
        // and the finished handler reports the failure.
        download->writeFailed = true;
        reply->abort();
    };

    // The engine's client outlives the window: a transfer that ends after the
    // window went reports to no one and leaves no program behind.
    auto onFinished = [this, window = QPointer<MainWindow>(this), url, download,
                       failDownload](QNetworkReply* reply) {
        if (!window) {
            download->file.remove();
            return;
        }
        // Redirects are not followed and arrive without error: their page is
        // no setup program and must not be run as one.
        download->errorText = transferFailure(reply);
        if (download->errorText.isEmpty() && (download->writeFailed || !download->file.flush()))
            download->errorText = download->file.errorString();
        if (download->errorText.isEmpty()) {
            download->file.close();
            // Only a program under the operator's signature is offered and
            // started; a refused one takes the failed-download path.
            checkSetupSignature(url, download->file.fileName(),
                                [this, download, failDownload](bool admitted) {
                                    if (admitted) {
                                        installSetup();
                                        return;
                                    }
                                    download->errorText = QStringLiteral("signature refused");
                                    failDownload();
                                });
            return;
        }
        if (!download->writeFailed) {
            failDownload();
            return;
        }
        // Both boxes wait until the reply's signals are over.
        QTimer::singleShot(0, this, [this, download, failDownload] {
            showInfoBox(QStringLiteral("检查更新失败-109"));
            qDebug() << "下载器write file error:" << download->file.fileName();
            failDownload();
        });
    };

    HeaderMap headers;
    headers.insert(QStringLiteral("Range"), QStringLiteral("bytes=%1-").arg(0));
    patchManager->httpGet(url, headers, onFinished, onReadyRead);
}

void MainWindow::installSetup()
{
    QMessageBox confirm;
    confirm.setWindowTitle(QStringLiteral("提示"));
    confirm.setInformativeText(QStringLiteral("发现新版本，确认安装吗？"));
    confirm.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    confirm.setDefaultButton(QMessageBox::Ok);
    if (confirm.exec() != QMessageBox::Ok) {
        dealover();
        return;
    }

    const QString path = setupProgramPath();
    if (!QFileInfo(path).isFile()) {
        showInfoBox(QStringLiteral("文件不存在-106"));
        dealover();
        return;
    }

    const QVariant previousVersion = QSettings(launcherSettingsPath(), QSettings::IniFormat)
                                         .value(QStringLiteral("version/version"));
    {
        QSettings settings(launcherSettingsPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("version/version"), remoteLauncherVersion);
        settings.sync();
    }

    platform::ensureOwnerExecutable(path);
    // Detached: the setup program must outlive the launcher that ends right here.
    auto* setup = new QProcess(this);
    setup->setProgram(path);
    if (setup->startDetached())
        platform::exitNow(0);

    // Recording the new version for a setup that never ran would skip this
    // update for good: put the old record back, so the next start tries again.
    qDebug() << "下载器start setup error:" << path;
    {
        QSettings settings(launcherSettingsPath(), QSettings::IniFormat);
        if (previousVersion.isValid())
            settings.setValue(QStringLiteral("version/version"), previousVersion);
        else
            settings.remove(QStringLiteral("version/version"));
        settings.sync();
    }
    setup->deleteLater();
    dealover();
}

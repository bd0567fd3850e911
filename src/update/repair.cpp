#include "update/repair.h"

#include "services/contentsignature.h"
#include "transfer/patchdownload.h"
#include "update/patchchain.h"
#include "update/patchmanager.h"
#include "update/signedfetch.h"
#include "update/updatedisplay.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonArray>
#include <QNetworkReply>
#include <QThread>

GameRepair::~GameRepair()
{
    stop();
}

void GameRepair::stop()
{
    stopVerifying = true;
    if (verifier) {
        verifier->wait();
        delete verifier;
        verifier = nullptr;
    }
}

void GameRepair::begin()
{
    if (!running)
        engine.track(QStringLiteral("repair_start"));
    running = true;
    repairedFiles = 0;
    engine.switchState(2);
    getSignedDocument(engine.http, engine.baseUrl, QStringLiteral("patchlist.json"),
                      contentsig::Kind::PatchList,
                      [this](QNetworkReply* r, const contentsig::Signature& signature) {
                          onListReply(r, signature);
                      });
}

void GameRepair::onListReply(QNetworkReply* r, const contentsig::Signature& signature)
{
    const QString url = askedUrl(r);
    if (r->error() != QNetworkReply::NoError) {
        engine.setError(2, QStringLiteral("%1 下载失败").arg(url));
        return;
    }
    const QJsonObject list = admittedJson(r->readAll(), url, signature);
    if (list.isEmpty()) {
        engine.setError(2, QStringLiteral("%1 解码错误").arg(url));
        return;
    }
    const QMap<int, PatchStep> full = patchStepMap(list, true);
    const QMap<int, PatchStep> steps = patchStepMap(list, false);
    const int newest = steps.isEmpty() ? 0 : steps.lastKey();
    engine.loadLocalVersion();
    const int installed = engine.records.localVersion.value(QLatin1String("version")).toInt();
    // A repair never takes the game below what is installed: a signed older
    // list is refused as the update refuses it, and an unsigned one finds no
    // full package to compare with below.
    if (!engine.reachesInstalledVersion(list, url)) {
        engine.setError(2, QStringLiteral("%1 解码错误").arg(url));
        return;
    }
    if (installed < newest) {
        // The files are checked against the newest version only.
        pending = true;
        engine.onUpdateRemotePatchConfig(list);
        return;
    }
    // Without a full package of the newest version there is nothing to
    // compare with.
    if (!list.contains(QLatin1String("fullversion")) || full.isEmpty() ||
        full.lastKey() < qMax(newest, installed) || safeRelativePath(full.last().path).isEmpty()) {
        engine.setError(4, QStringLiteral("补丁校验失败"));
        return;
    }
    const PatchStep step = full.last();
    engine.remoteVersion = step.version;
    getSignedDocument(engine.http, engine.baseUrl, step.path + QLatin1String("/patchfiles.json"),
                      contentsig::Kind::FileList,
                      [this, step](QNetworkReply* reply, const contentsig::Signature& s) {
                          onFileList(reply, s, step);
                      });
}

void GameRepair::onFileList(QNetworkReply* r, const contentsig::Signature& signature,
                            const PatchStep& step)
{
    const QString url = askedUrl(r);
    if (r->error() != QNetworkReply::NoError) {
        engine.setError(2, QStringLiteral("%1 下载失败").arg(url));
        return;
    }
    const QJsonObject list = admittedJson(r->readAll(), url, signature);
    if (list.isEmpty() || !fileListIsSafe(list)) {
        engine.setError(3, QStringLiteral("%1 配置解析失败").arg(url));
        return;
    }
    QList<DownloadFileInfo> files;
    listedBytes = 0;
    for (const QJsonValue& v : list.value(QLatin1String("filelist")).toArray()) {
        const DownloadFileInfo f = fileInfoFromListEntry(v.toObject(), engine.baseUrl, step.path);
        if (f.type == QLatin1String("del"))
            continue;
        files.append(f);
        listedBytes += f.size;
    }
    listedFiles = files.size();
    verifiedFiles = 0;
    verifiedBytes = 0;
    engine.chain = PatchChain{step};
    engine.switchState(9);
    // Hashing a whole game takes minutes: it runs beside the GUI thread, one
    // file at a time in bounded blocks.
    const QString game = engine.gameDir;
    // Its result may arrive a moment before the thread has ended.
    if (verifier)
        verifier->wait();
    delete verifier;
    verifier = QThread::create([this, files, game] {
        QList<DownloadFileInfo> differing;
        for (const DownloadFileInfo& f : files) {
            if (stopVerifying)
                return;
            const QString target = game + QLatin1Char('/') + safeRelativePath(localFileKey(f.name));
            const QString md5 = f.destMd5.isEmpty() ? f.md5 : f.destMd5;
            const QFileInfo info(target);
            if (!info.isFile() || info.size() != f.size ||
                fileMd5(target).compare(md5, Qt::CaseInsensitive) != 0)
                differing.append(f);
            verifiedBytes += f.size;
            ++verifiedFiles;
        }
        QMetaObject::invokeMethod(
            &engine, [this, differing] { onVerified(differing); }, Qt::QueuedConnection);
    });
    verifier->start();
}

void GameRepair::onVerified(const QList<DownloadFileInfo>& differing)
{
    if (engine.state != 9)
        return;
    qDebug() << "repair:" << differing.size() << "of" << listedFiles << "files differ";
    repairedFiles = differing.size();
    if (differing.isEmpty()) {
        engine.chain.clear();
        engine.switchState(7);
        return;
    }
    // Fetched into the patch folder and installed like an update's "add".
    engine.transfers.clear();
    for (const DownloadFileInfo& f : differing) {
        engine.transfers.addFile(f);
        engine.chain[0].files.append(f);
    }
    if (!engine.roomForDownloads())
        return;
    engine.endGame();
    engine.switchState(4);
    engine.transfers.startDownloads();
}

void GameRepair::showProgress(UpdateDisplay& window) const
{
    window.showUpdateStatus(
        QStringLiteral("正在校验游戏文件 %1/%2").arg(verifiedFiles.load()).arg(listedFiles));
    if (listedBytes > 0)
        window.setUpdateProgress(QString(), double(verifiedBytes.load()) / double(listedBytes));
}

QString GameRepair::finish()
{
    running = false;
    engine.track(QStringLiteral("repair_end"), QString::number(repairedFiles));
    return repairedFiles > 0 ? QStringLiteral("修复完成,已修复%1个文件").arg(repairedFiles)
                             : QStringLiteral("游戏文件完好");
}

#include "update/patchmanager.h"

#include "patch/patchthread.h"
#include "services/contentsignature.h"
#include "services/eventtracker.h"
#include "services/settings.h"
#include "transfer/progress.h"
#include "update/patchchain.h"
#include "update/updatedisplay.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QNetworkReply>
#include <QStorageInfo>
#include <QThread>
#include <QTimer>
#include <QTimerEvent>
#include <cmath>

bool PatchManager::updateFinishSent = false;

namespace
{
QString compactJson(const QJsonObject& o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

qint64 nowSecs()
{
    return QDateTime::currentSecsSinceEpoch();
}

// The filesystem a folder is or will be on: that of its nearest existing
// ancestor.
QStorageInfo storageOf(const QString& folder)
{
    QDir dir(QFileInfo(folder).absoluteFilePath());
    while (!dir.exists() && dir.cdUp()) {
    }
    return QStorageInfo(dir.absolutePath());
}

struct SpaceNeed {
    qint64 download = 0; // in the patch folder
    qint64 apply = 0;    // in the game folder, beside a target before it goes
    // What "add"s bring into the game folder beyond the files they replace:
    // free when renamed within one filesystem, copied across two.
    qint64 added = 0;
};

SpaceNeed spaceNeed(const PatchChain& chain, const QString& patchDir, const QString& gameDir)
{
    SpaceNeed need;
    for (const PatchStep& step : chain) {
        for (const DownloadFileInfo& f : step.files) {
            if (f.type == QLatin1String("del"))
                continue;
            // A part is resumed; a longer or damaged file is removed before it
            // is fetched again, which gives its room back.
            need.download +=
                qMax<qint64>(0, f.size - QFileInfo(localPatchFilePath(patchDir, f)).size());
            // A patch writes the new file as X_bak beside the old one; its size
            // is not listed, so the old one's stands for it. An "add" is
            // moved in after the old file went.
            const QString target = safeRelativePath(localFileKey(f.name));
            const qint64 old =
                target.isEmpty() ? 0 : QFileInfo(gameDir + QLatin1Char('/') + target).size();
            if (f.type == QLatin1String("diff"))
                need.apply = qMax(need.apply, qMax(f.size, old));
            else
                need.added += qMax<qint64>(0, f.size - old);
        }
    }
    return need;
}
} // namespace

PatchManager::PatchManager(QObject* parent) : QObject(parent)
{
    // The patch thread's signals carry records across threads.
    qRegisterMetaType<DownloadFileInfo>("DownloadFileInfo");
    // The setup program's download goes through the same client and cap.
    transfers.maxTransfers = downloadTransfers();
    http.maxBytesPerSecond = downloadRateLimit();
}

PatchManager::~PatchManager()
{
    stopVerifying = true;
    if (verifier) {
        verifier->wait();
        delete verifier;
    }
    // The thread calls back into this object: it must not outlive it.
    if (patchThread) {
        patchThread->wait();
        delete patchThread;
    }
}

void PatchManager::init(UpdateDisplay* w, const QString& b, const QString& p, const QString& g)
{
    window = w;
    // The engine outlives the window it draws on: once that is gone, nothing
    // is left to show, and no tick may call into it.
    disconnect(windowGone);
    if (auto* object = dynamic_cast<QObject*>(w))
        windowGone = connect(object, &QObject::destroyed, this, [this] {
            window = nullptr;
            if (timerId)
                killTimer(timerId);
            timerId = 0;
        });
    baseUrl = b;
    patchDir = p;
    gameDir = g;
    if (contentsig::required())
        contentsig::setRecordFolder(gameDir);
}

void PatchManager::start()
{
    track(QStringLiteral("update_start"));
    switchState(1);
    startTime = nowSecs();
    timerId = startTimer(100, Qt::CoarseTimer);
}

void PatchManager::track(const QString& eventName, const QString& val1, const QString& val2)
{
    if (eventHook)
        eventHook(eventName, val1, val2);
    trackEvent(eventName, val1, val2);
}

void PatchManager::switchState(int newState)
{
    qDebug().nospace().noquote() << "switch state " << state << " to " << newState;
    state = newState;
}

void PatchManager::setError(int code, const QString& text)
{
    errorCode = code;
    errorText = text;
    switchState(8);
    track(QStringLiteral("update_error"), text);
    // The record takes in the files done so far: the launcher may end here.
    if (code != 1 && !versionLines.isEmpty())
        saveLocalVersion();
}

void PatchManager::timerEvent(QTimerEvent*)
{
    tick();
}

void PatchManager::tick()
{
    if (!deferredTasks.isEmpty()) {
        // Taken out first: the task may append the next one.
        const std::function<void()> task = deferredTasks.takeFirst();
        if (task)
            task();
    }
    if (state < 1 || state > 9)
        return;

    switch (state) {
    case 1:
        checkUpdate();
        if (window)
            window->showUpdateStatus(
                QStringLiteral("检测更新:本地版本号:%1")
                    .arg(localVersion.value(QLatin1String("version")).toInt()));
        break;
    case 2: {
        const QString url = http.currentReply ? http.currentReply->url().toString() : QString();
        if (window)
            window->showUpdateStatus(QStringLiteral("检查补丁信息:%1").arg(url));
        break;
    }
    case 3: {
        QStringList versions;
        for (int i = chain.size() - 1; i >= 0; --i)
            versions << QString::number(chain[i].version);
        if (window)
            window->showUpdateStatus(
                QStringLiteral("获取补丁文件列表:%1").arg(versions.join(QLatin1Char(','))));
        break;
    }
    case 4:
        showDownloadState();
        break;
    case 5:
        showPatchState();
        break;
    case 6:
        cleanup();
        break;
    case 7:
        if (recheckCount >= 1) {
            --recheckCount;
            switchState(1);
            break;
        }
        if (!updateFinishSent) {
            updateFinishSent = true;
            track(QStringLiteral("update_finish"), QString::number(nowSecs() - startTime));
        }
        if (repairPending) {
            repairPending = false;
            beginRepair();
            break;
        }
        if (repairing) {
            repairing = false;
            finishText = repairedFiles > 0
                             ? QStringLiteral("修复完成,已修复%1个文件").arg(repairedFiles)
                             : QStringLiteral("游戏文件完好");
            track(QStringLiteral("repair_end"), QString::number(repairedFiles));
        }
        if (window) {
            window->showUpdateStatus(finishText);
            window->showUpdateFinished();
        }
        break;
    case 8:
        if (window)
            window->showUpdateStatus(QStringLiteral("更新出错:%1").arg(errorText));
        break;
    case 9:
        if (window) {
            window->showUpdateStatus(QStringLiteral("正在校验游戏文件 %1/%2")
                                         .arg(verifiedFiles.load())
                                         .arg(listedFiles));
            if (listedBytes > 0)
                window->setUpdateProgress(QString(),
                                          double(verifiedBytes.load()) / double(listedBytes));
        }
        break;
    }
}

void PatchManager::showDownloadState()
{
    const DownloadProgress p = transfers.progress();
    const DownloadFileInfo& f = p.file;
    const QString fileName = f.name.mid(f.name.lastIndexOf(QLatin1Char('\\')) + 1);

    if (!p.slowReported && p.elapsedMs > 1800 && p.speed < 10240) {
        transfers.markSlowReported();
        track(QStringLiteral("update_slow_download"),
              baseUrl + QLatin1Char('/') + f.path + QLatin1Char('/') + f.name,
              QString::number(qint64(p.speed)));
    }
    if (!window)
        return;

    const QString speedText = sizeText(p.speed) + QLatin1String("/s");
    const QString fileSizes = QStringLiteral("(%1M/%2M)")
                                  .arg(double(p.fileReceived) / 1048576.0, 0, 'f', 2)
                                  .arg(double(p.fileTotal) / 1048576.0, 0, 'f', 2);
    // A file of size 0 has no ratio; the bar keeps its value.
    if (p.fileTotal > 0)
        window->setUpdateProgress(QString(), double(p.fileReceived) / double(p.fileTotal));
    const QString fileLine = p.downloading ? QStringLiteral("%1 下载中...").arg(fileName)
                                           : QStringLiteral("%1 正在校验...").arg(fileName);
    const QString timeLeft = timeLeftText(double(p.allTotal - p.allFinished), p.speed);
    window->showDownloadInfo(sizeText(double(qMin(p.allFinished, p.allTotal))),
                             sizeText(double(p.allTotal)), fileLine, fileSizes, speedText,
                             timeLeft);
}

void PatchManager::showPatchState()
{
    QString text;
    {
        QMutexLocker lock(&progressMutex);
        if (!currentFullFile.name.isEmpty()) {
            const qint64 received = patchThread ? patchThread->fullReceived.load() : 0;
            text = QStringLiteral("%1 %2/%3...下载缺失文件")
                       .arg(currentFullFile.name, sizeText(double(received)),
                            sizeText(double(currentFullFile.size)));
        } else {
            text = QStringLiteral("%1 %2...[%5%]补丁中 %3/%4")
                       .arg(currentPatch.name, currentPatch.type, QString::number(patchIndex),
                            QString::number(patchCount), QString::number(int(patchProgress * 100)));
        }
    }
    if (window)
        window->showUpdateStatus(text);
}

void PatchManager::removePatchDir()
{
    // An empty folder name would stand for the working directory. Links
    // inside are removed, never followed.
    if (!patchDir.isEmpty())
        QDir(patchDir).removeRecursively();
}

void PatchManager::cleanup()
{
    removePatchDir();
    chain.clear();
    transfers.clear();
    if (patchThread) {
        patchThread->wait();
        patchThread->deleteLater();
        patchThread = nullptr;
    }
    remoteVersion = 0;
    switchState(7);
    if (window)
        window->showUpdateStatus(QStringLiteral("清理本地缓存..."));
}

// ---- verify and repair ----

void PatchManager::requestRepair()
{
    if (busy()) {
        repairPending = true;
        return;
    }
    repairing = false;
    beginRepair();
}

bool PatchManager::busy() const
{
    // An error is not the end while a failed download waits for its retry
    // or the patch thread still runs.
    const bool ended = state == 7 || (state == 8 && !transfers.retrying() &&
                                      !(patchThread && patchThread->isRunning()));
    return !ended || repairPending || (repairing && state != 8);
}

void PatchManager::beginRepair()
{
    if (!repairing)
        track(QStringLiteral("repair_start"));
    repairing = true;
    repairedFiles = 0;
    switchState(2);
    httpGetSigned(QStringLiteral("patchlist.json"), contentsig::Kind::PatchList,
                  [this](QNetworkReply* r, const contentsig::Signature& signature) {
                      onRepairListReply(r, signature);
                  });
}

void PatchManager::onRepairListReply(QNetworkReply* r, const contentsig::Signature& signature)
{
    const QString url = r->url().toString();
    if (r->error() != QNetworkReply::NoError) {
        setError(2, QStringLiteral("%1 下载失败").arg(url));
        return;
    }
    const QByteArray body = r->readAll();
    const QJsonObject list =
        signature.admits(body, url) ? parseJsonObject(QString::fromUtf8(body)) : QJsonObject();
    if (list.isEmpty()) {
        setError(2, QStringLiteral("%1 解码错误").arg(url));
        return;
    }
    const QMap<int, PatchStep> full = patchStepMap(list, true);
    const QMap<int, PatchStep> steps = patchStepMap(list, false);
    const int newest = steps.isEmpty() ? 0 : steps.lastKey();
    loadLocalVersion();
    if (localVersion.value(QLatin1String("version")).toInt() < newest) {
        // The files are checked against the newest version only.
        repairPending = true;
        onUpdateRemotePatchConfig(list);
        return;
    }
    // Without a full package of the newest version there is nothing to
    // compare with.
    if (!list.contains(QLatin1String("fullversion")) || full.isEmpty() || full.lastKey() < newest ||
        safeRelativePath(full.last().path).isEmpty()) {
        setError(4, QStringLiteral("补丁校验失败"));
        return;
    }
    const PatchStep step = full.last();
    remoteVersion = step.version;
    httpGetSigned(step.path + QLatin1String("/patchfiles.json"), contentsig::Kind::FileList,
                  [this, step](QNetworkReply* reply, const contentsig::Signature& s) {
                      onRepairFileList(reply, s, step);
                  });
}

void PatchManager::onRepairFileList(QNetworkReply* r, const contentsig::Signature& signature,
                                    const PatchStep& step)
{
    const QString url = r->url().toString();
    if (r->error() != QNetworkReply::NoError) {
        setError(2, QStringLiteral("%1 下载失败").arg(url));
        return;
    }
    const QByteArray bytes = r->readAll();
    const QJsonObject list =
        signature.admits(bytes, url) ? parseJsonObject(QString::fromUtf8(bytes)) : QJsonObject();
    if (list.isEmpty() || !fileListIsSafe(list)) {
        setError(3, QStringLiteral("%1 配置解析失败").arg(url));
        return;
    }
    QList<DownloadFileInfo> files;
    listedBytes = 0;
    for (const QJsonValue& v : list.value(QLatin1String("filelist")).toArray()) {
        const DownloadFileInfo f = fileInfoFromListEntry(v.toObject(), baseUrl, step.path);
        if (f.type == QLatin1String("del"))
            continue;
        files.append(f);
        listedBytes += f.size;
    }
    listedFiles = files.size();
    verifiedFiles = 0;
    verifiedBytes = 0;
    chain = PatchChain{step};
    switchState(9);
    // Hashing a whole game takes minutes: it runs beside the GUI thread, one
    // file at a time in bounded blocks.
    const QString game = gameDir;
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
            this, [this, differing] { onVerified(differing); }, Qt::QueuedConnection);
    });
    verifier->start();
}

void PatchManager::onVerified(const QList<DownloadFileInfo>& differing)
{
    if (state != 9)
        return;
    qDebug() << "repair:" << differing.size() << "of" << listedFiles << "files differ";
    repairedFiles = differing.size();
    if (differing.isEmpty()) {
        chain.clear();
        switchState(7);
        return;
    }
    // Fetched into the patch folder and installed like an update's "add".
    for (const DownloadFileInfo& f : differing) {
        transfers.addFile(f);
        chain[0].files.append(f);
    }
    if (!roomForDownloads())
        return;
    endGame();
    switchState(4);
    transfers.startDownloads();
}

void PatchManager::endGame()
{
    // A file the game holds open cannot be replaced.
    if (window) {
        window->killProcessByName(QStringLiteral("Drevna.exe"));
        window->killProcessByName(QStringLiteral("Drevna-Win64-Shipping.exe"));
    }
}

// ---- local files ----

RecordJournal& PatchManager::journal(std::unique_ptr<RecordJournal>& slot,
                                     const QString& recordPath)
{
    // The folders may change between runs (and in tests).
    if (!slot || slot->path() != recordPath + QLatin1String(".journal"))
        slot = std::make_unique<RecordJournal>(recordPath);
    return *slot;
}

void PatchManager::reportWriteError(const QString& path)
{
    const QString text = QStringLiteral("%1 写入失败").arg(path);
    if (QThread::currentThread() == thread())
        setError(1, text);
    else
        QMetaObject::invokeMethod(
            this, [this, text] { setError(1, text); }, Qt::QueuedConnection);
}

void PatchManager::loadLocalVersion()
{
    localVersion =
        QJsonObject{{QLatin1String("version"), 0}, {QLatin1String("start_apply_patch"), false}};
    versionLines.clear();
    const QString path = gameDir + QLatin1String("/localversion.json");
    removeInterruptedWrites(path);
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
        if (!doc.isNull() && error.error == QJsonParseError::NoError && doc.isObject())
            localVersion = doc.object();
        else
            qDebug() << "decode " << path << "error:" << error.error;
    }
    // Files recorded after the last fold: a run that was killed left them.
    versionLines = journal(versionJournal, path).read();
    if (!versionLines.isEmpty())
        saveLocalVersion();
    qDebug().noquote() << "loadLocalVersion:" << compactJson(localVersion);
}

void PatchManager::saveLocalVersion()
{
    const QString path = gameDir + QLatin1String("/localversion.json");
    if (!versionLines.isEmpty()) {
        applyFileLines(localVersion, versionLines);
        versionLines.clear();
    }
    // UTF-8, so file names outside ASCII survive the round trip.
    if (!writeFile(path, QJsonDocument(localVersion).toJson(QJsonDocument::Indented))) {
        setError(1, QStringLiteral("%1 写入失败").arg(path));
        return;
    }
    // Only once the record holds its lines; lines read again after a kill
    // here change nothing.
    journal(versionJournal, path).remove();
}

void PatchManager::loadLocalPatchChain()
{
    chain.clear();
    const QString path = patchDir + QLatin1String("/patchchain.json");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        journal(chainJournal, path).remove(); // lines of no chain
        return;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (doc.isNull() || error.error != QJsonParseError::NoError || !doc.isArray()) {
        qDebug() << "decode " << path << "error:" << error.error;
        return;
    }
    PatchChain loaded = patchChainFromArray(doc.array());
    // Local paths are built from these names: a refused one voids the file.
    if (!chainNamesAreSafe(loaded)) {
        qDebug() << "unsafe file name in" << path;
        return;
    }
    const QList<QJsonObject> lines = journal(chainJournal, path).read();
    for (const QJsonObject& line : lines) {
        const int version = line.value(QLatin1String("version")).toInt();
        const int index = line.value(QLatin1String("file")).toInt(-1);
        for (PatchStep& step : loaded) {
            if (step.version == version && index >= 0 && index < step.files.size() &&
                step.files[index].name == line.value(QLatin1String("name")).toString())
                step.files[index].hadPatch = true;
        }
    }
    chain = loaded;
    if (!lines.isEmpty())
        saveLocalPatchChain(chain);
}

bool PatchManager::saveLocalPatchChain(const PatchChain& steps)
{
    const QString path = patchDir + QLatin1String("/patchchain.json");
    {
        QMutexLocker lock(&chainFileMutex);
        if (writePatchChain(path, steps)) {
            journal(chainJournal, path).remove();
            return true;
        }
    }
    reportWriteError(path);
    return false;
}

bool PatchManager::recordPatchDone(int stepVersion, int fileIndex, const QString& name)
{
    const QString path = patchDir + QLatin1String("/patchchain.json");
    {
        QMutexLocker lock(&chainFileMutex);
        if (journal(chainJournal, path)
                .append(QJsonObject{{QLatin1String("version"), stepVersion},
                                    {QLatin1String("file"), fileIndex},
                                    {QLatin1String("name"), name}}))
            return true;
    }
    reportWriteError(path + QLatin1String(".journal"));
    return false;
}

void PatchManager::addPatchFiles(const QJsonObject& fileList, const QString& base,
                                 const QString& stepPath)
{
    const QJsonArray entries = fileList.value(QLatin1String("filelist")).toArray();
    for (const QJsonValue& v : entries) {
        const DownloadFileInfo info = fileInfoFromListEntry(v.toObject(), base, stepPath);
        transfers.addFile(info);
        if (chainIndex >= 0 && chainIndex < chain.size())
            chain[chainIndex].files.append(info);
    }
}

// ---- chain search ----

QMap<int, PatchStep> PatchManager::buildPatchMap(const QJsonObject& list, bool full)
{
    return patchStepMap(list, full);
}

PatchChain PatchManager::findPatchChain(const QJsonObject& list, int local, bool full, int& result)
{
    ChainSearch search = searchPatchChain(
        list, local, full, compactJson(localVersion), [this](int from, int newest) {
            remoteVersion = newest;
            if (window)
                window->showVersionInfo(QStringLiteral("当前版本") + formatVersion(from),
                                        QStringLiteral("最新版本") + formatVersion(newest));
        });
    result = search.result;
    return search.chain;
}

// ---- the remote patch configuration: the patch list, then each step's file list ----

void PatchManager::onPatchListReply(QNetworkReply* r, const contentsig::Signature& signature)
{
    const QString url = r->url().toString();
    if (r->error() != QNetworkReply::NoError) {
        qDebug() << "download " << url << "error:" << r->errorString();
        r->deleteLater();
        setError(2, QStringLiteral("%1 下载失败").arg(url));
        return;
    }
    const QByteArray body = r->readAll();
    // Checked before it is parsed: a refused list counts as an unreadable one.
    const QJsonObject list =
        signature.admits(body, url) ? parseJsonObject(QString::fromUtf8(body)) : QJsonObject();
    if (list.isEmpty() || !reachesInstalledVersion(list, url)) {
        setError(2, QStringLiteral("%1 解码错误").arg(url));
        return;
    }
    onUpdateRemotePatchConfig(list);
}

bool PatchManager::reachesInstalledVersion(const QJsonObject& list, const QString& url)
{
    // Unsigned content proves nothing either way; signed, an older list
    // would hold the player on the version it names for good.
    if (!contentsig::required())
        return true;
    int newest = 0;
    for (const bool full : {true, false}) {
        const QMap<int, PatchStep> steps = buildPatchMap(list, full);
        newest = qMax(newest, steps.isEmpty() ? 0 : steps.lastKey());
    }
    const int installed = localVersion.value(QLatin1String("version")).toInt();
    if (newest >= installed)
        return true;
    qDebug().noquote() << QStringLiteral("patch list newest version %1 below installed %2: %3")
                              .arg(newest)
                              .arg(installed)
                              .arg(url);
    return false;
}

void PatchManager::onUpdateRemotePatchConfig(const QJsonObject& list)
{
    qDebug().noquote() << "onUpdateRemotePatchConfig:"
                       << QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
    const int local = localVersion.value(QLatin1String("version")).toInt();
    int result = 0;
    chain = findPatchChain(list, local, local == 0, result);
    if (result != 0) {
        setError(4, QStringLiteral("补丁校验失败"));
        return;
    }
    if (chain.isEmpty()) {
        // A run killed between its last file and the cleanup leaves its
        // folder behind, and no later run would clean it up.
        if (!patchDir.isEmpty() && QFileInfo::exists(patchDir)) {
            qDebug() << "remove leftover patch folder" << patchDir;
            removePatchDir();
        }
        switchState(7);
        return;
    }
    endGame();
    switchState(3);
    if (chain.size() == 1 && chain.first().preVersion == 0) {
        localVersion.insert(QLatin1String("version"), 0);
        saveLocalVersion();
        if (state == 8)
            return;
    }
    chainIndex = -1;
    fetchNextPatchFiles();
}

void PatchManager::fetchNextPatchFiles()
{
    chainIndex += 1;
    if (chainIndex < chain.size()) {
        const QString url =
            baseUrl + QLatin1Char('/') + chain[chainIndex].path + QLatin1String("/patchfiles.json");
        // The step's path becomes a local folder too.
        if (safeRelativePath(chain[chainIndex].path).isEmpty()) {
            setError(3, QStringLiteral("%1 配置解析失败").arg(url));
            return;
        }
        httpGetSigned(chain[chainIndex].path + QLatin1String("/patchfiles.json"),
                      contentsig::Kind::FileList,
                      [this](QNetworkReply* r, const contentsig::Signature& signature) {
                          onFileListReply(r, signature);
                      });
        return;
    }
    qDebug() << "finish get patch file list";
    if (!roomForDownloads())
        return;
    switchState(4);
    transfers.startDownloads();
}

bool PatchManager::roomForDownloads()
{
    const SpaceNeed need = spaceNeed(chain, patchDir, gameDir);
    const QStorageInfo patchFs = storageOf(patchDir);
    const QStorageInfo gameFs = storageOf(gameDir);
    // An unknown free space is no reason to stop: the write errors still are.
    if (!patchFs.isValid() || !gameFs.isValid() || patchFs.bytesAvailable() < 0 ||
        gameFs.bytesAvailable() < 0)
        return true;
    qint64 shortfall;
    if (patchFs == gameFs)
        shortfall = qMax<qint64>(0, need.download + need.apply - patchFs.bytesAvailable());
    else
        shortfall = qMax<qint64>(0, need.download - patchFs.bytesAvailable()) +
                    qMax<qint64>(0, need.apply + need.added - gameFs.bytesAvailable());
    if (shortfall == 0)
        return true;
    qDebug() << "disk space: need" << need.download << "+" << need.apply << "free"
             << patchFs.bytesAvailable() << gameFs.bytesAvailable();
    setError(6, QStringLiteral("磁盘空间不足,还需要%1").arg(sizeText(double(shortfall))));
    return false;
}

void PatchManager::onFileListReply(QNetworkReply* r, const contentsig::Signature& signature)
{
    const QString url = r->url().toString();
    if (r->error() != QNetworkReply::NoError) {
        qDebug() << "download " << url << "error:" << r->errorString();
        setError(2, QStringLiteral("%1 下载失败").arg(url));
        return;
    }
    if (chainIndex < 0 || chainIndex >= chain.size())
        return;
    const QString stepPath = chain[chainIndex].path;
    const QByteArray bytes = r->readAll();
    // A refused list is neither stored nor parsed.
    if (!signature.admits(bytes, url)) {
        setError(3, QStringLiteral("%1 配置解析失败").arg(url));
        return;
    }
    const QJsonObject list = parseJsonObject(QString::fromUtf8(bytes));
    // Without its array a list would count as a step of no files, which
    // "applies" and records the step's version over old files.
    if (!list.value(QLatin1String("filelist")).isArray()) {
        qDebug() << "file list without a filelist array:" << url;
        setError(3, QStringLiteral("%1 配置解析失败").arg(url));
        return;
    }

    // Every name becomes a local path and every size part of the totals: a
    // list with a refused entry is not stored and nothing of it is downloaded.
    QString refused;
    if (!fileListIsSafe(list, &refused)) {
        qDebug() << "refused file list entry" << refused << "in" << url;
        setError(3, QStringLiteral("%1 配置解析失败").arg(url));
        return;
    }

    const QString stored = stepPath + QLatin1String("/patchfiles.json");
    if (!writeFile(patchDir + QLatin1Char('/') + safeRelativePath(stepPath) +
                       QLatin1String("/patchfiles.json"),
                   bytes)) {
        setError(1, QStringLiteral("%1 写入失败").arg(stored));
        return;
    }
    if (list.isEmpty()) {
        setError(3, QStringLiteral("%1 配置解析失败").arg(url));
        return;
    }
    addPatchFiles(list, baseUrl, stepPath);
    fetchNextPatchFiles();
}

// ---- the check and the patch run ----

void PatchManager::checkUpdate()
{
    loadLocalVersion();
    loadLocalPatchChain();
    if (localVersion.value(QLatin1String("start_apply_patch")).toBool()) {
        if (!chain.isEmpty()) {
            remoteVersion = localVersion.value(QLatin1String("remote_version")).toInt();
            startPatching(true, remoteVersion);
            return;
        }
        // Nothing to resume with: declaring the target installed would be a
        // lie, so forget the interrupted run and check from the patch list.
        qDebug() << "resume without patch chain, checking again";
        localVersion.insert(QLatin1String("start_apply_patch"), false);
        localVersion.insert(QLatin1String("remote_version"), 0);
        saveLocalVersion();
        if (state == 8)
            return;
    }
    httpGetSigned(QStringLiteral("patchlist.json"), contentsig::Kind::PatchList,
                  [this](QNetworkReply* r, const contentsig::Signature& signature) {
                      onPatchListReply(r, signature);
                  });
    switchState(2);
}

void PatchManager::startPatching(bool resume, int targetVersion)
{
    patchStartTime = nowSecs();
    patchRunFailed = false;
    switchState(5);
    localVersion.insert(QLatin1String("start_apply_patch"), true);
    localVersion.insert(QLatin1String("remote_version"), targetVersion);
    saveLocalVersion();
    track(QStringLiteral("update_patch_start"), QString::number(targetVersion));
    saveLocalPatchChain(chain);
    // Without a record of the run on disk, game files are left untouched:
    // the error already ends this update.
    if (state != 5)
        return;

    patchThread = new PatchThread(chain, patchDir, gameDir, resume, this);
    if (patchFinishSleepMs >= 0)
        patchThread->finishSleepMs = patchFinishSleepMs;
    connect(patchThread, &PatchThread::startPatch, this, &PatchManager::onStartPatch,
            Qt::QueuedConnection);
    connect(patchThread, &PatchThread::patchProgress_, this, &PatchManager::onPatchProgress,
            Qt::QueuedConnection);
    connect(patchThread, &PatchThread::doneOnePatch, this, &PatchManager::onDoneOnePatch,
            Qt::QueuedConnection);
    connect(patchThread, &PatchThread::startDownFullPak, this, &PatchManager::onStartDownFullPak,
            Qt::QueuedConnection);
    connect(patchThread, &PatchThread::onError, this, &PatchManager::onPatchError,
            Qt::QueuedConnection);
    connect(patchThread, &PatchThread::allDone, this, &PatchManager::onAllDone,
            Qt::QueuedConnection);
    patchThread->start(QThread::InheritPriority);
}

void PatchManager::onStartPatch(const DownloadFileInfo& info, int num, int allNum)
{
    QMutexLocker lock(&progressMutex);
    currentPatch = info;
    patchIndex = num;
    patchCount = allNum;
    patchProgress = 0;
}

void PatchManager::onPatchProgress(float p)
{
    QMutexLocker lock(&progressMutex);
    patchProgress = p;
}

void PatchManager::onDoneOnePatch(const DownloadFileInfo& info, int num, int allNum)
{
    {
        QMutexLocker lock(&progressMutex);
        patchIndex = num;
        patchCount = allNum;
    }
    // One line in the journal; the record takes the lines in when it is
    // saved next, at the latest when the run ends.
    const QString key = localFileKey(info.name);
    const QJsonObject line =
        info.type == QLatin1String("del")
            ? QJsonObject{{QLatin1String("name"), key}, {QLatin1String("del"), true}}
            : QJsonObject{{QLatin1String("name"), key}, {QLatin1String("md5"), info.md5}};
    const QString path = gameDir + QLatin1String("/localversion.json");
    if (!journal(versionJournal, path).append(line)) {
        setError(1, QStringLiteral("%1 写入失败").arg(versionJournal->path()));
        return;
    }
    versionLines.append(line);
}

void PatchManager::onStartDownFullPak(const DownloadFileInfo& info, bool active)
{
    QMutexLocker lock(&progressMutex);
    currentFullFile = active ? info : DownloadFileInfo();
}

void PatchManager::onPatchError(const DownloadFileInfo& info, int)
{
    patchRunFailed = true;
    setError(5, QStringLiteral("应用补丁文件%1 %2失败").arg(info.name, info.type));
}

void PatchManager::onAllDone()
{
    const int target = localVersion.value(QLatin1String("remote_version")).toInt();
    track(QStringLiteral("update_patch_end"), QString::number(target),
          QString::number(nowSecs() - patchStartTime));
    localVersion.insert(QLatin1String("start_apply_patch"), false);
    localVersion.insert(QLatin1String("version"), target);
    localVersion.insert(QLatin1String("remote_version"), 0);
    saveLocalVersion();
    // An error repaired by a retry does not block the finish; a patch failure
    // or a state file that could not be written (state 8) does.
    if (!patchRunFailed && state == 5)
        switchState(6);
}

void PatchManager::httpGet(const QString& url, const HeaderMap& headers, ReplyCallback onFinished,
                           ReplyCallback onReadyRead, ProgressCallback onProgress)
{
    http.httpGet(url, headers, onFinished, onReadyRead, onProgress);
}

void PatchManager::httpGetSigned(const QString& name, contentsig::Kind kind,
                                 SignedReplyCallback onFinished)
{
    const QString url = baseUrl + QLatin1Char('/') + name;
    auto getDocument = [this, url, onFinished](const contentsig::Signature& signature) {
        httpGet(url, HeaderMap(),
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
    httpGet(contentsig::signatureUrl(url), HeaderMap(), [expected, getDocument](QNetworkReply* s) {
        getDocument(contentsig::Signature::fromReply(s, expected));
    });
    limitReply(http.currentReply, contentsig::MaxEnvelopeBytes);
}

void PatchManager::downloadNextPatchFile()
{
    transfers.downloadNextPatchFile();
}

void PatchManager::downloadFileResumable(PatchThread* thread, const QString& localPath,
                                         DownloadFileInfo f, std::function<void(bool, bool)> onDone)
{
    transfers.downloadFileResumable(thread, thread->fullReceived, localPath, f, onDone);
}

void PatchManager::downloadError(int code, const QString& text)
{
    setError(code, text);
}

void PatchManager::downloadStateChanged(int newState)
{
    switchState(newState);
}

void PatchManager::allDownloaded()
{
    startPatching(false, remoteVersion);
}

void PatchManager::fetchJson(const QString& url, std::function<void(QJsonObject)> onJson)
{
    ::fetchJson(this, url, onJson);
}

void fetchJson(PatchManager* manager, const QString& url, JsonCallback onJson)
{
    QTimer::singleShot(0, manager, [manager, url, onJson] {
        manager->httpGetSigned(
            contentsig::documentName(manager->contentBaseUrl(), url), contentsig::Kind::FileList,
            [url, onJson](QNetworkReply* r, const contentsig::Signature& signature) {
                QJsonObject object;
                if (r->error() != QNetworkReply::NoError) {
                    qDebug() << "download" << url << "error";
                } else {
                    const QByteArray body = r->readAll();
                    // A refused list reads as one that could not be had at all.
                    if (signature.admits(body, r->url().toString()))
                        object = parseJsonObject(QString::fromUtf8(body));
                }
                if (onJson)
                    onJson(object);
            });
    });
}

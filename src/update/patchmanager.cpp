#include "update/patchmanager.h"

#include "patch/patchthread.h"
#include "services/contentsignature.h"
#include "services/eventtracker.h"
#include "services/settings.h"
#include "transfer/progress.h"
#include "update/patchchain.h"
#include "update/signedfetch.h"
#include "update/spaceplan.h"
#include "update/updatedisplay.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>
#include <QTimerEvent>

#include <limits>

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

} // namespace

PatchManager::PatchManager(QObject* parent) : QObject(parent)
{
    // The patch thread's signals carry records across threads.
    qRegisterMetaType<DownloadFileInfo>("DownloadFileInfo");
    // The setup program's download goes through the same client and cap.
    transfers.maxTransfers = downloadTransfers();
    http.maxBytesPerSecond = downloadRateLimit();
    records.writeFailed = [this](const QString& path) { reportWriteError(path); };
}

PatchManager::~PatchManager()
{
    repair.stop();
    // The thread calls back into this object: it must not outlive it. A
    // paused one ends where it waits, as a killed one would.
    if (patchThread) {
        patchThread->stopWhenHeld();
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
    // An error that ends the update ends its transfers too: none of them
    // may report over this text. Only the download loop's own reports
    // (downloadError) leave them running.
    transfers.stop();
    endPause();
    reportError(code, text);
}

void PatchManager::reportError(int code, const QString& text)
{
    errorCode = code;
    errorText = text;
    switchState(8);
    track(QStringLiteral("update_error"), text);
    // The record takes in the files done so far: the launcher may end here.
    if (code != 1 && records.hasUnsavedFiles())
        saveLocalVersion();
}

void PatchManager::sendUpdateFinish()
{
    if (updateFinishSent)
        return;
    updateFinishSent = true;
    track(QStringLiteral("update_finish"), QString::number(nowSecs() - startTime));
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
                    .arg(records.localVersion.value(QLatin1String("version")).toInt()));
        break;
    case 2: {
        const QString url = http.currentReply ? askedUrl(http.currentReply) : QString();
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
        if (repair.pending) {
            sendUpdateFinish();
            repair.pending = false;
            repair.begin();
            break;
        }
        if (repair.running)
            finishText = repair.finish();
        // The window shows the end before it is reported.
        if (window) {
            window->showUpdateStatus(finishText);
            window->showUpdateFinished();
        }
        sendUpdateFinish();
        break;
    case 8:
        // Paused, the retry waits with the other files.
        if (paused) {
            showDownloadState();
            break;
        }
        // The other files go on while one waits for its retry.
        reportSlowTransfers(transfers.progress());
        if (window)
            window->showUpdateStatus(QStringLiteral("更新出错:%1").arg(errorText));
        break;
    case 9:
        if (window)
            repair.showProgress(*window);
        break;
    }
}

void PatchManager::reportSlowTransfers(const DownloadProgress& p)
{
    // Each file by its own transfer, whatever the others do.
    for (const TransferRate& t : p.transfers) {
        if (t.slowReported || t.elapsedMs <= 1800 || t.speed >= 10240)
            continue;
        transfers.markSlowReported(t.index);
        track(QStringLiteral("update_slow_download"),
              baseUrl + QLatin1Char('/') + t.file.path + QLatin1Char('/') + t.file.name,
              QString::number(qint64(t.speed)));
    }
}

void PatchManager::showDownloadState()
{
    const DownloadProgress p = transfers.progress();
    reportSlowTransfers(p);
    if (!window)
        return;

    const DownloadFileInfo& f = p.file;
    const QString fileName = f.name.mid(f.name.lastIndexOf(QLatin1Char('\\')) + 1);
    const QString speedText = sizeText(p.speed) + QLatin1String("/s");
    const QString fileSizes = QStringLiteral("(%1M/%2M)")
                                  .arg(double(p.fileReceived) / 1048576.0, 0, 'f', 2)
                                  .arg(double(p.fileTotal) / 1048576.0, 0, 'f', 2);
    // Without a file in transfer the ratio is no number, which the bar
    // ignores: it keeps its value, and the details are shown all the same.
    window->setUpdateProgress(QString(), p.fileTotal > 0
                                             ? double(p.fileReceived) / double(p.fileTotal)
                                             : std::numeric_limits<double>::quiet_NaN());
    const QString fileLine = p.downloading ? QStringLiteral("%1 下载中...").arg(fileName)
                                           : QStringLiteral("%1 正在校验...").arg(fileName);
    const QString done = sizeText(double(qMin(p.allFinished, p.allTotal)));
    // Paused, what is done stays; a speed and a time left would only fall.
    if (paused)
        window->showDownloadInfo(done, sizeText(double(p.allTotal)), QStringLiteral("下载已暂停"),
                                 fileSizes, QString(), QString());
    else
        window->showDownloadInfo(done, sizeText(double(p.allTotal)), fileLine, fileSizes, speedText,
                                 timeLeftText(double(p.remaining), p.speed));
}

void PatchManager::showPatchState()
{
    if (window)
        window->showUpdateStatus(
            paused ? patchProgress.pausedText()
                   : patchProgress.statusText(patchThread ? patchThread->fullReceived.load() : 0));
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
    endPause();
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
        repair.pending = true;
        return;
    }
    repair.pending = false;
    repair.running = false;
    repair.begin();
}

bool PatchManager::busy() const
{
    // An error is not the end while a failed download waits for its retry
    // or the patch thread still runs.
    const bool ended = !paused && (state == 7 || (state == 8 && !transfers.retrying() &&
                                                  !(patchThread && patchThread->isRunning())));
    // A repair waiting for an update that then failed waits no more.
    return !ended || (state != 8 && (repair.pending || repair.running));
}

bool PatchManager::canPause() const
{
    return state == 4 || state == 5 || (state == 8 && transfers.retrying());
}

void PatchManager::pauseDownloads()
{
    if (paused || !canPause())
        return;
    paused = true;
    // The download loop has ended once patches are applied.
    if (state == 5) {
        if (patchThread)
            patchThread->hold(true);
    } else {
        transfers.pause();
    }
    trackBytes(QStringLiteral("update_pause"));
}

void PatchManager::resumeDownloads()
{
    if (!paused)
        return;
    paused = false;
    trackBytes(QStringLiteral("update_resume"));
    if (patchThread)
        patchThread->hold(false);
    transfers.resume();
}

void PatchManager::endPause()
{
    paused = false;
    if (patchThread)
        patchThread->hold(false);
}

void PatchManager::trackBytes(const QString& event)
{
    const DownloadProgress p = transfers.progress();
    track(event, QString::number(qMin(p.allFinished, p.allTotal)), QString::number(p.allTotal));
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

void PatchManager::reportWriteError(const QString& path)
{
    const QString text = QStringLiteral("%1 写入失败").arg(path);
    if (QThread::currentThread() == thread())
        setError(1, text);
    else
        QMetaObject::invokeMethod(
            this, [this, text] { setError(1, text); }, Qt::QueuedConnection);
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
        list, local, full, compactJson(records.localVersion), [this](int from, int newest) {
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
    const QString url = askedUrl(r);
    if (r->error() != QNetworkReply::NoError) {
        qDebug() << "download " << url << "error:" << r->errorString();
        r->deleteLater();
        setError(2, QStringLiteral("%1 下载失败").arg(url));
        return;
    }
    // Checked before it is parsed: a refused list counts as an unreadable one.
    const QJsonObject list = admittedJson(r->readAll(), url, signature);
    if (list.isEmpty() || !reachesInstalledVersion(list, url)) {
        setError(2, QStringLiteral("%1 解码错误").arg(url));
        return;
    }
    pruneSequenceRecord(list);
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
    const int installed = records.localVersion.value(QLatin1String("version")).toInt();
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
    const int local = records.localVersion.value(QLatin1String("version")).toInt();
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
    // Nothing of an earlier run's list, counts or transfers carries over.
    transfers.clear();
    if (chain.size() == 1 && chain.first().preVersion == 0) {
        records.localVersion.insert(QLatin1String("version"), 0);
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
    return roomFor([this](bool) { return spaceNeed(chain, patchDir, gameDir); });
}

bool PatchManager::roomFor(const std::function<SpaceNeed(bool sharedFilesystem)>& needOf)
{
    FreeSpace free;
    // An unknown free space is no reason to stop: the write errors still are.
    if (!freeSpaceOf(patchDir, gameDir, free))
        return true;
    const SpaceNeed need = needOf(free.shared);
    const qint64 shortfall = spaceShortfall(need, free);
    if (shortfall == 0)
        return true;
    qDebug() << "disk space: need" << need.download << "+" << need.apply << "free" << free.patch
             << free.game;
    setError(6, QStringLiteral("磁盘空间不足,还需要%1").arg(sizeText(double(shortfall))));
    return false;
}

void PatchManager::onFileListReply(QNetworkReply* r, const contentsig::Signature& signature)
{
    const QString url = askedUrl(r);
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
    if (records.localVersion.value(QLatin1String("start_apply_patch")).toBool()) {
        if (!chain.isEmpty()) {
            remoteVersion = records.localVersion.value(QLatin1String("remote_version")).toInt();
            startPatching(true, remoteVersion);
            return;
        }
        // Nothing to resume with: declaring the target installed would be a
        // lie, so forget the interrupted run and check from the patch list.
        qDebug() << "resume without patch chain, checking again";
        records.localVersion.insert(QLatin1String("start_apply_patch"), false);
        records.localVersion.insert(QLatin1String("remote_version"), 0);
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
    stoppedForRoom = false;
    switchState(5);
    // The chain goes to disk before the record names its target: a record
    // that says "applying" always finds this run's chain, never a leftover.
    saveLocalPatchChain(chain);
    if (state == 5) {
        records.localVersion.insert(QLatin1String("start_apply_patch"), true);
        records.localVersion.insert(QLatin1String("remote_version"), targetVersion);
        saveLocalVersion();
        track(QStringLiteral("update_patch_start"), QString::number(targetVersion));
    }
    // Without a record of the run on disk, game files are left untouched:
    // the error already ends this update.
    if (state != 5)
        return;

    // An earlier run's thread has ended (busy() waits for it): one at a time.
    if (patchThread) {
        patchThread->wait();
        delete patchThread;
    }
    patchThread = new PatchThread(chain, patchDir, gameDir, resume, this);
    patchThread->hold(paused);
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
    patchProgress.started(info, num, allNum);
}

void PatchManager::onPatchProgress(float p)
{
    patchProgress.progressed(p);
}

void PatchManager::onDoneOnePatch(const DownloadFileInfo& info, int num, int allNum)
{
    patchProgress.done(num, allNum);
    records.recordFileDone(info);
}

void PatchManager::onStartDownFullPak(const DownloadFileInfo& info, bool active)
{
    patchProgress.fullFile(info, active);
}

void PatchManager::onPatchError(const DownloadFileInfo& info, int)
{
    patchRunFailed = true;
    // The patch stopped for want of room, which the player is told instead.
    if (stoppedForRoom)
        return;
    setError(5, QStringLiteral("应用补丁文件%1 %2失败").arg(info.name, info.type));
}

void PatchManager::onAllDone()
{
    const int target = records.localVersion.value(QLatin1String("remote_version")).toInt();
    track(QStringLiteral("update_patch_end"), QString::number(target),
          QString::number(nowSecs() - patchStartTime));
    records.localVersion.insert(QLatin1String("start_apply_patch"), false);
    records.localVersion.insert(QLatin1String("version"), target);
    records.localVersion.insert(QLatin1String("remote_version"), 0);
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
    getSignedDocument(http, baseUrl, name, kind, onFinished);
}

void PatchManager::downloadFileResumable(PatchThread* thread, const QString& localPath,
                                         DownloadFileInfo f, std::function<void(bool, bool)> onDone)
{
    // A whole file in place of a patch: into the patch folder, then into the
    // game folder, which takes a copy when it is on another filesystem.
    SpaceNeed need;
    need.download = qMax<qint64>(0, f.size - QFileInfo(localPath).size());
    need.added = f.size;
    FreeSpace free;
    const qint64 shortfall = freeSpaceOf(patchDir, gameDir, free) ? spaceShortfall(need, free) : 0;
    if (shortfall > 0) {
        qDebug() << "disk space: need" << need.download << "for" << localPath << "free"
                 << free.patch << free.game;
        QMetaObject::invokeMethod(
            this,
            [this, shortfall] {
                stoppedForRoom = true;
                setError(6,
                         QStringLiteral("磁盘空间不足,还需要%1").arg(sizeText(double(shortfall))));
            },
            Qt::QueuedConnection);
        onDone(false, false);
        return;
    }
    transfers.downloadFileResumable(thread, thread->fullReceived, localPath, f, onDone);
}

void PatchManager::allDownloaded()
{
    // The patches are in: before any game file is touched, the plan again
    // with the size each patch will write.
    if (roomFor([this](bool shared) {
            SpaceNeed need;
            need.apply = applyPeak(chain, patchDir, gameDir, shared);
            return need;
        }))
        startPatching(false, remoteVersion);
}

void PatchManager::fetchJson(const QString& url, std::function<void(QJsonObject)> onJson)
{
    fetchSignedJson(this, http, baseUrl, url, onJson);
}

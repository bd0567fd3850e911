#include "update/patchmanager.h"

#include "app/updatedisplay.h"
#include "patch/patchthread.h"
#include "services/contentsignature.h"
#include "services/eventtracker.h"
#include "transfer/progress.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QNetworkReply>
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
} // namespace

PatchManager::PatchManager(QObject* parent) : QObject(parent)
{
    // The patch thread's signals carry records across threads.
    qRegisterMetaType<DownloadFileInfo>("DownloadFileInfo");
}

PatchManager::~PatchManager()
{
    // The thread calls back into this object: it must not outlive it.
    if (patchThread) {
        patchThread->wait();
        delete patchThread;
    }
}

void PatchManager::init(UpdateDisplay* w, const QString& b, const QString& p, const QString& g)
{
    window = w;
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
    if (state < 1 || state > 8)
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
        if (window) {
            window->showUpdateStatus(QStringLiteral("更新完成."));
            window->showUpdateFinished();
        }
        if (!updateFinishSent) {
            updateFinishSent = true;
            track(QStringLiteral("update_finish"), QString::number(nowSecs() - startTime));
        }
        break;
    case 8:
        if (window)
            window->showUpdateStatus(QStringLiteral("更新出错:%1").arg(errorText));
        break;
    }
}

void PatchManager::showDownloadState()
{
    const DownloadFileInfo f = downloadIndex >= 0 && downloadIndex < downloads.size()
                                   ? downloads[downloadIndex]
                                   : DownloadFileInfo();
    const QString fileName = f.name.mid(f.name.lastIndexOf(QLatin1Char('\\')) + 1);

    // The timer is invalid until the current file's transfer has started, so
    // a file being checked or skipped shows no speed and is never "slow".
    const qint64 elapsed = fileStartTime.isValid() ? fileStartTime.elapsed() : 0;
    const double speed =
        elapsed > 0 ? double(fileReceived - fileResumeBase) * 1000.0 / double(elapsed) : 0.0;

    if (!slowReported && elapsed > 1800 && speed < 10240) {
        slowReported = true;
        track(QStringLiteral("update_slow_download"),
              baseUrl + QLatin1Char('/') + f.path + QLatin1Char('/') + f.name,
              QString::number(qint64(speed)));
    }
    if (!window)
        return;

    const QString speedText = sizeText(speed) + QLatin1String("/s");
    const QString fileSizes = QStringLiteral("(%1M/%2M)")
                                  .arg(double(fileReceived) / 1048576.0, 0, 'f', 2)
                                  .arg(double(fileTotal) / 1048576.0, 0, 'f', 2);
    // A file of size 0 has no ratio; the bar keeps its value.
    if (fileTotal > 0)
        window->setUpdateProgress(QString(), double(fileReceived) / double(fileTotal));
    const QString fileLine = downloading ? QStringLiteral("%1 下载中...").arg(fileName)
                                         : QStringLiteral("%1 正在校验...").arg(fileName);
    const QString timeLeft = timeLeftText(double(allTotal - allFinished), speed);
    window->showDownloadInfo(sizeText(double(qMin(allFinished, allTotal))),
                             sizeText(double(allTotal)), fileLine, fileSizes, speedText, timeLeft);
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
    downloads.clear();
    if (patchThread) {
        patchThread->wait();
        patchThread->deleteLater();
        patchThread = nullptr;
    }
    remoteVersion = 0;
    fileReceived = 0;
    fileTotal = 0;
    allTotal = 0;
    allFinished = 0;
    fileResumeBase = 0;
    switchState(7);
    if (window)
        window->showUpdateStatus(QStringLiteral("清理本地缓存..."));
}

// ---- local files ----

void PatchManager::loadLocalVersion()
{
    localVersion =
        QJsonObject{{QLatin1String("version"), 0}, {QLatin1String("start_apply_patch"), false}};
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
    qDebug().noquote() << "loadLocalVersion:" << compactJson(localVersion);
}

void PatchManager::saveLocalVersion()
{
    const QString path = gameDir + QLatin1String("/localversion.json");
    // UTF-8, so file names outside ASCII survive the round trip.
    if (!writeFile(path, QJsonDocument(localVersion).toJson(QJsonDocument::Indented)))
        setError(1, QStringLiteral("%1 写入失败").arg(path));
}

void PatchManager::loadLocalPatchChain()
{
    chain.clear();
    const QString path = patchDir + QLatin1String("/patchchain.json");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
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
    chain = loaded;
}

bool PatchManager::saveLocalPatchChain(const PatchChain& steps)
{
    const QString path = patchDir + QLatin1String("/patchchain.json");
    const QByteArray bytes = patchChainToJson(steps);
    bool ok;
    {
        QMutexLocker lock(&chainFileMutex);
        ok = writeFile(path, bytes);
    }
    if (ok)
        return true;
    const QString text = QStringLiteral("%1 写入失败").arg(path);
    if (QThread::currentThread() == thread())
        setError(1, text);
    else
        QMetaObject::invokeMethod(
            this, [this, text] { setError(1, text); }, Qt::QueuedConnection);
    return false;
}

void PatchManager::addPatchFiles(const QJsonObject& fileList, const QString& base,
                                 const QString& stepPath)
{
    const QJsonArray entries = fileList.value(QLatin1String("filelist")).toArray();
    for (const QJsonValue& v : entries) {
        const DownloadFileInfo info = fileInfoFromListEntry(v.toObject(), base, stepPath);
        downloads.append(info);
        if (chainIndex >= 0 && chainIndex < chain.size())
            chain[chainIndex].files.append(info);
        allTotal += info.size;
    }
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
    QJsonObject files = localVersion.value(QLatin1String("filelist")).toObject();
    const QString key = localFileKey(info.name);
    if (info.type == QLatin1String("del"))
        files.remove(key);
    else
        files.insert(key,
                     QJsonObject{{QLatin1String("name"), key}, {QLatin1String("md5"), info.md5}});
    localVersion.insert(QLatin1String("filelist"), files);
    saveLocalVersion();
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

void fetchJson(PatchManager* manager, const QString& url, JsonCallback onJson)
{
    QTimer::singleShot(0, manager, [manager, url, onJson] {
        manager->httpGetSigned(
            contentsig::documentName(manager->baseUrl, url), contentsig::Kind::FileList,
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

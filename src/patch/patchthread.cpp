#include "patch/patchthread.h"

#include "base/platform.h"
#include "patch/patchfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QMutex>
#include <QMutexLocker>
#include <QWaitCondition>
#include <memory>

namespace
{

// Length of the suffix that patch and content files carry on the server.
constexpr int FullDownloadAttempts = 3;

// One request handed to the GUI thread; its callback may also run at once on
// the calling thread, so the flag is checked before waiting.
struct Completion {
    QMutex mutex;
    QWaitCondition condition;
    bool done = false;

    void finish()
    {
        QMutexLocker lock(&mutex);
        done = true;
        condition.wakeAll();
    }
    void wait()
    {
        QMutexLocker lock(&mutex);
        while (!done)
            condition.wait(&mutex);
    }
};

QString fullFolder(const QString& stepPath)
{
    return stepPath.contains("_full") ? stepPath : stepPath + "_full";
}

QByteArray local(const QString& path)
{
    return QFile::encodeName(path);
}

bool makeParent(const QString& path)
{
    return QDir().mkpath(QFileInfo(path).absolutePath());
}

// A download found in the patch folder becomes a game file only with the
// listed content.
bool hasListedContent(const QString& path, const QString& md5)
{
    const QString actual = md5OfFile(local(path));
    if (!actual.isEmpty() && actual.compare(md5, Qt::CaseInsensitive) == 0)
        return true;
    qDebug() << "apply patch: md5 of" << path << "is" << actual << "not" << md5;
    return false;
}

} // namespace

PatchThread::PatchThread(const PatchChain& s, const QString& p, const QString& g, bool r,
                         PatchHost* m, QObject* parent)
    : QThread(parent), steps(s), patchDir(p), gameDir(g), resume(r), manager(m)
{
}

void PatchThread::run()
{
    PatchApplier applier;
    for (int i = steps.size() - 1; i >= 0; --i) {
        lastResult = applyStep(steps[i], applier);
        if (lastResult != 0)
            return;
        // The step's files were journaled one by one; the chain takes them in
        // (a failed write ends the update through the engine's error).
        if (!steps[i].files.isEmpty())
            manager->saveLocalPatchChain(steps);
    }
    emit allDone();
    msleep(finishSleepMs);
}

void PatchThread::hold(bool on)
{
    QMutexLocker lock(&holdMutex);
    held = on;
    holdReleased.wakeAll();
}

void PatchThread::stopWhenHeld()
{
    QMutexLocker lock(&holdMutex);
    stopping = true;
    holdReleased.wakeAll();
}

bool PatchThread::passHold(const DownloadFileInfo& next)
{
    QMutexLocker lock(&holdMutex);
    if (held && !stopping)
        qDebug() << "apply patch: held before" << next.name;
    while (held && !stopping)
        holdReleased.wait(&holdMutex);
    return !held;
}

int PatchThread::applyStep(PatchStep& step)
{
    PatchApplier applier;
    return applyStep(step, applier);
}

int PatchThread::applyStep(PatchStep& step, PatchApplier& applier)
{
    qDebug().noquote() << "apply patch:" << step.version << " " << step.preVersion << " "
                       << step.path << " ";
    const int allNum = step.files.size();
    if (allNum == 0)
        return 0;

    for (int i = 0; i < allNum; ++i) {
        const int num = i + 1;
        // A copy: the signals and downloads work on it while the list entry is
        // marked done in place.
        const DownloadFileInfo f = step.files[i];
        // A pause waits here, between files, where a kill costs nothing.
        if (!passHold(f))
            return StoppedWhileHeld;
        // Names come from the server and from patchchain.json: a name that
        // could leave its folder never becomes a path.
        QString patchFile, target;
        if (!patchThreadPaths(patchDir, gameDir, step.path, f, patchFile, target)) {
            qDebug() << "apply patch: unsafe file name" << step.path << f.name;
            emit onError(f, -1000);
            return -1000;
        }
        const QString newFile = target + "_bak";

        auto markDone = [&] {
            step.files[i].hadPatch = true;
            manager->recordPatchDone(step.version, i, step.files[i].name);
            emit doneOnePatch(step.files[i], num, allNum);
        };
        auto targetHasDestContent = [&] {
            return resume && QFileInfo::exists(target) && md5OfFile(local(target)) == f.destMd5;
        };

        emit startPatch(f, num, allNum);
        if (f.hadPatch) {
            emit doneOnePatch(f, num, allNum);
            continue;
        }

        if (f.type == "diff") {
            if (targetHasDestContent()) {
                markDone();
                continue;
            }
            qint64 total = QFileInfo(target).size();
            if (total <= 0)
                total = 1;
            auto progress = [this, total](qint64 bytes) {
                const float p = float(double(bytes) / double(total));
                emit patchProgress_(p >= 1.0f ? 0.99f : p);
            };
            const int r = applier.apply(local(target), local(patchFile), local(newFile), progress);
            if (r != 0) {
                const int r2 = downloadWholeFileFallback(f, patchFile, newFile);
                if (r2 != 0) {
                    emit onError(f, r2);
                    return r2;
                }
            }
            makeParent(target);
            // One step: a crash here never leaves the game without this file.
            if (!platform::replaceFile(newFile, target)) {
                qDebug() << "apply patch: rename" << newFile << "->" << target << "failed";
                emit onError(f, -100);
                return -1000;
            }
            markDone();
        } else if (f.type == "add") {
            // After a kill the file is in one of two places: still in the
            // patch folder, maybe damaged, or already moved in. Only that one
            // is hashed; in a run that has just downloaded it, the download's
            // own check stands and nothing is read again.
            const bool downloaded = QFileInfo::exists(patchFile);
            if (!downloaded && targetHasDestContent()) {
                markDone();
                continue;
            }
            if (resume && downloaded && !hasListedContent(patchFile, f.md5))
                QFile::remove(patchFile);
            if (!QFileInfo::exists(patchFile)) {
                const int r = downloadWholeFileFallback(f, patchFile, patchFile);
                if (r != 0) {
                    emit onError(f, r);
                    return r;
                }
            }
            makeParent(target);
            // Renamed over the old file in one step where both folders share
            // a filesystem; elsewhere copied, the old file removed first.
            if (!platform::replaceFile(patchFile, target)) {
                // Only now: a failed download leaves the old file in place.
                if (QFileInfo::exists(target))
                    QFile::remove(target);
                QFile source(patchFile);
                if (!source.rename(target)) {
                    qDebug() << "apply patch: rename" << patchFile << "->" << target
                             << "failed:" << source.errorString();
                    emit onError(f, -100);
                    return -1000;
                }
            }
            markDone();
        } else if (f.type == "del") {
            if (QFileInfo::exists(target))
                QFile::remove(target);
            markDone();
        }
    }
    return 0;
}

int PatchThread::downloadWholeFileFallback(const DownloadFileInfo& f, const QString& patchFile,
                                           const QString& destination)
{
    const QString url = manager->contentBaseUrl() + "/" + fullFolder(f.path) + "/" + f.name;
    const QString fullTemp = patchFile + "_full";
    qDebug().noquote() << "apply patch:, try to full download" << url << "->" << fullTemp;
    if (!downloadFullFile(fullTemp, f)) {
        emit onError(f, -1000);
        return -1000;
    }
    if (QFileInfo::exists(destination))
        QFile::remove(destination);
    if (!QFile::rename(fullTemp, destination)) {
        emit onError(f, -1001);
        return -1001;
    }
    return 0;
}

bool PatchThread::downloadFullFile(const QString& fullTemp, const DownloadFileInfo& f)
{
    fullReceived = 0;
    fullFileInfo = DownloadFileInfo();
    fullFileInfo.name = f.name;
    emit startDownFullPak(fullFileInfo, true);

    const QString folder = fullFolder(f.path);
    const QString base = manager->contentBaseUrl();
    const QString listUrl = base + "/" + folder + "/" + "patchfiles.json";
    DownloadFileInfo record;
    Completion listed;
    manager->fetchJson(listUrl, [&](QJsonObject list) {
        const QJsonArray files = list.value("filelist").toArray();
        for (const QJsonValue& v : files) {
            const QJsonObject entry = v.toObject();
            if (entry.value("name").toString() == f.name) {
                record = fileInfoFromListEntry(entry, base, folder);
                break;
            }
        }
        listed.finish();
    });
    listed.wait();
    if (record.name.isEmpty())
        return false;
    // The whole file stands in for the patched one: another file by the same
    // name (another step's list) would be recorded with the entry's MD5.
    if (record.md5.compare(f.destMd5, Qt::CaseInsensitive) != 0) {
        qDebug() << "apply patch: whole file" << f.name << "has md5" << record.md5 << "not"
                 << f.destMd5;
        return false;
    }

    record.path = folder;
    fullFileInfo = record;
    emit startDownFullPak(fullFileInfo, true);

    // The step's folder is missing when none of its files was downloaded.
    makeParent(fullTemp);
    bool success = false;
    for (int attempt = 0; attempt < FullDownloadAttempts; ++attempt) {
        bool retry = false;
        success = false;
        fullReceived = 0;
        auto transfer = std::make_shared<Completion>();
        manager->downloadFileResumable(this, fullTemp, record,
                                       [transfer, &success, &retry](bool ok, bool again) {
                                           QMutexLocker lock(&transfer->mutex);
                                           success = ok;
                                           retry = again;
                                           transfer->done = true;
                                           transfer->condition.wakeAll();
                                       });
        // A success has passed the MD5 check of the download itself.
        transfer->wait();
        if (success || !retry)
            break;
    }
    emit startDownFullPak(fullFileInfo, false);
    return success;
}

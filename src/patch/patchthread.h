#pragma once

#include "base/updatetypes.h"
#include "patch/patchhost.h"

#include <QMutex>
#include <QThread>
#include <QWaitCondition>
#include <atomic>

class PatchApplier;

// Applies a patch chain to the game folder, oldest step first, falling back
// to a whole-file download when a delta cannot be applied.
class PatchThread : public QThread
{
    Q_OBJECT

public:
    PatchThread(const PatchChain& steps, const QString& patchDir, const QString& gameDir,
                bool resume, PatchHost* manager, QObject* parent = nullptr);

    int applyStep(PatchStep& step);
    // From any thread: held, the thread waits before its next file until
    // released; a file under way is finished first.
    void hold(bool on);
    // A thread held now or later ends there instead of going on.
    void stopWhenHeld();
    // applyStep's result when it ended so.
    static constexpr int StoppedWhileHeld = 1;

    int downloadWholeFileFallback(const DownloadFileInfo& f, const QString& patchFile,
                                  const QString& destination);
    bool downloadFullFile(const QString& fullTemp, const DownloadFileInfo& f);

    PatchChain steps;
    QString patchDir;
    QString gameDir;
    bool resume = false;
    // Read by others once the thread has ended.
    std::atomic<int> lastResult{0};
    PatchHost* manager = nullptr;
    DownloadFileInfo fullFileInfo;
    std::atomic<qint64> fullReceived{0};
    // After allDone; a test may shorten it.
    int finishSleepMs = 2000;

signals:
    void doneOnePatch(DownloadFileInfo info, int num, int allNum);
    void onError(DownloadFileInfo info, int errcode);
    void allDone();
    void startPatch(DownloadFileInfo info, int num, int allNum);
    void patchProgress_(float p);
    void startDownFullPak(DownloadFileInfo info, bool active);

protected:
    void run() override;

private:
    // run keeps one applier on its own stack: its buffers and hashing threads
    // serve every delta of the run.
    int applyStep(PatchStep& step, PatchApplier& applier);
    // Waits while held; false when the thread is to end there.
    bool passHold(const DownloadFileInfo& next);

    QMutex holdMutex;
    QWaitCondition holdReleased;
    bool held = false;
    bool stopping = false;
};

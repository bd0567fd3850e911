#pragma once

#include "patch/patchhost.h"
#include "transfer/httpclient.h"
#include "transfer/patchdownload.h"
#include "update/patchprogress.h"
#include "update/records.h"
#include "update/repair.h"
#include "update/signedfetch.h"
#include "update/spaceplan.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

class UpdateDisplay;
class PatchThread;
namespace contentsig
{
class Signature;
enum class Kind;
} // namespace contentsig

// The update engine: a 100 ms state machine on the GUI thread that carries one
// update from the installed version to the point where the game may start.
class PatchManager : public QObject, public PatchHost, private DownloadListener
{
    Q_OBJECT

public:
    explicit PatchManager(QObject* parent = nullptr);
    ~PatchManager() override;

    void init(UpdateDisplay* window, const QString& baseUrl, const QString& patchDir,
              const QString& gameDir);
    void start();
    // Checks every file of the full package against the game folder and
    // fetches the ones that differ. Waits for a running update; an installed
    // version older than the newest is updated first.
    void requestRepair();
    // An update or a repair is under way.
    bool busy() const;

    // The player's pause: files are downloaded (also while one waits for its
    // retry) or patches applied.
    bool canPause() const;
    bool isPaused() const { return paused; }
    // Ends every transfer and retry timer, keeping the partial files, and
    // holds the patch thread before its next file; nothing else changes.
    void pauseDownloads();
    // Takes every file up again from its partial bytes, and the patch thread.
    void resumeDownloads();

    void switchState(int newState);
    void setError(int code, const QString& text);
    int currentState() const { return state; }
    int lastErrorCode() const { return errorCode; }
    QString lastErrorText() const { return errorText; }
    HttpClient& httpClient() { return http; }

    // Records and local files.
    void loadLocalVersion() { records.loadLocalVersion(); }
    void saveLocalVersion() { records.saveLocalVersion(); }
    void loadLocalPatchChain() { chain = records.loadPatchChain(); }
    // Thread-safe: the patch thread saves its copy of the chain after each step.
    bool saveLocalPatchChain(const PatchChain& steps) override
    {
        return records.savePatchChain(steps);
    }
    // Thread-safe: one line in the chain's journal.
    bool recordPatchDone(int stepVersion, int fileIndex, const QString& name) override
    {
        return records.recordPatchDone(stepVersion, fileIndex, name);
    }
    void addPatchFiles(const QJsonObject& fileList, const QString& base, const QString& stepPath);

    // Chain search.
    QMap<int, PatchStep> buildPatchMap(const QJsonObject& list, bool full);
    PatchChain findPatchChain(const QJsonObject& list, int localVersion, bool full, int& result);

    // Remote patch configuration.
    void checkUpdate();
    void onUpdateRemotePatchConfig(const QJsonObject& list);
    void fetchNextPatchFiles();

    // Downloads.
    void downloadNextPatchFile() { transfers.downloadNextPatchFile(); }
    // Called on the patch thread; onDone(success, retry) runs exactly once.
    void downloadFileResumable(PatchThread* thread, const QString& localPath, DownloadFileInfo f,
                               std::function<void(bool, bool)> onDone) override;

    void startPatching(bool resume, int targetVersion);

    // Reports an event to the tracking endpoint (and to eventHook, if set).
    void track(const QString& eventName, const QString& val1 = QString(),
               const QString& val2 = QString());

    void httpGet(const QString& url, const HeaderMap& headers, ReplyCallback onFinished,
                 ReplyCallback onReadyRead = {}, ProgressCallback onProgress = {});
    // A signed document, named by its path below baseUrl (getSignedDocument).
    void httpGetSigned(const QString& name, contentsig::Kind kind, SignedReplyCallback onFinished);

    // The patch thread's view of the engine.
    QString contentBaseUrl() const override { return baseUrl; }
    void fetchJson(const QString& url, std::function<void(QJsonObject)> onJson) override;

    // Handlers of the patch thread's signals; queued, so they run here on
    // the GUI thread in the order the thread emitted them.
    void onStartPatch(const DownloadFileInfo& info, int num, int allNum);
    void onPatchProgress(float p);
    void onDoneOnePatch(const DownloadFileInfo& info, int num, int allNum);
    void onStartDownFullPak(const DownloadFileInfo& info, bool active);
    void onPatchError(const DownloadFileInfo& info, int errcode);
    void onAllDone();

    // One step of the 100 ms timer.
    void tick();

    // Test knobs. Pause of the patch thread after allDone; negative keeps
    // its own default.
    int patchFinishSleepMs = -1;
    // Sees every tracking event as it is sent; for diagnostics and tests.
    std::function<void(const QString&, const QString&, const QString&)> eventHook;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    friend struct EngineProbe;
    friend class GameRepair;

    // The download loop's reports; it stops itself where its error ends it.
    void downloadError(int code, const QString& text) override { reportError(code, text); }
    // What setError does besides stopping the transfers.
    void reportError(int code, const QString& text);
    void downloadStateChanged(int newState) override { switchState(newState); }
    void allDownloaded() override;

    void onPatchListReply(QNetworkReply* reply, const contentsig::Signature& signature);
    // False, with a log line, when a signed list leads below the installed version.
    bool reachesInstalledVersion(const QJsonObject& list, const QString& url);
    void onFileListReply(QNetworkReply* reply, const contentsig::Signature& signature);
    // Sets the error and returns false when the patch folder's or the game
    // folder's filesystem cannot hold what the chain still needs.
    bool roomForDownloads();
    // The same for the need that needOf gives, told whether both folders
    // share one filesystem.
    bool roomFor(const std::function<SpaceNeed(bool sharedFilesystem)>& needOf);
    // Ends the game's processes before its files are replaced.
    void endGame();
    // "update_finish", once per process.
    void sendUpdateFinish();
    // event with the bytes done and the bytes in all.
    void trackBytes(const QString& event);
    // The pause ends with the update or the patch run.
    void endPause();
    void showDownloadState();
    // "update_slow_download" for each file whose own transfer is slow.
    void reportSlowTransfers(const DownloadProgress& p);
    void showPatchState();
    void cleanup();
    void removePatchDir();
    // Ends the update with error 1 for a record that could not be written;
    // from any thread.
    void reportWriteError(const QString& path);

    QString baseUrl;
    QString patchDir;
    QString gameDir;
    UpdateDisplay* window = nullptr;
    QMetaObject::Connection windowGone;
    HttpClient http; // owns networkManager and currentReply
    PatchDownloader transfers{http, *this, baseUrl, patchDir};
    int state = 0;
    PatchChain chain;
    int chainIndex = 0;
    int errorCode = 0;
    QString errorText;
    LocalRecords records{patchDir, gameDir};
    PatchThread* patchThread = nullptr;
    int remoteVersion = 0;
    int recheckCount = 1;
    PatchProgress patchProgress;
    QList<std::function<void()>> deferredTasks;
    qint64 startTime = 0;
    qint64 patchStartTime = 0;
    // Set by the patch thread's onError during the current patch run.
    bool patchRunFailed = false;
    // The run's whole-file fallback found no room: error 6, not 5.
    bool stoppedForRoom = false;
    // "update_finish" is sent once per process.
    static bool updateFinishSent;
    bool paused = false;
    int timerId = 0;
    QString finishText = QStringLiteral("更新完成.");
    GameRepair repair{*this};
};

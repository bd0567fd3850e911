#pragma once

#include "base/updatetypes.h"
#include "transfer/httpclient.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QSet>
#include <QString>
#include <atomic>
#include <functional>

// What the download loop tells the engine that runs it.
class DownloadListener
{
public:
    virtual ~DownloadListener() = default;

    virtual void downloadError(int code, const QString& text) = 0;
    virtual void downloadStateChanged(int state) = 0;
    // Every listed file is in the patch folder with its listed MD5.
    virtual void allDownloaded() = 0;
};

// One file in transfer, as the slow-download report judges it.
struct TransferRate {
    int index = 0;
    DownloadFileInfo file;
    qint64 elapsedMs = 0; // since its own transfer started
    double speed = 0;     // its own bytes over that time
    bool slowReported = false;
};

// What the display shows of the loop, read once per tick.
struct DownloadProgress {
    // The file named: one in transfer while any is, else the one checked last.
    DownloadFileInfo file;
    // A real transfer has started in this process.
    bool downloading = false;
    // Of the named file while it is in transfer, else both 0.
    qint64 fileReceived = 0;
    qint64 fileTotal = 0;
    // Bytes done, never less than shown before; bytes still to come.
    qint64 allFinished = 0;
    qint64 allTotal = 0;
    qint64 remaining = 0;
    // Bytes per second of every transfer over the last few seconds.
    double speed = 0;
    QList<TransferRate> transfers;
};

// The download loop of an update: every file of the chain's lists into the
// patch folder, MD5-checked, resumed with range requests and retried; and
// whole-file downloads for the patch thread.
class PatchDownloader : public QObject
{
    Q_OBJECT

public:
    // The engine's content base address and patch folder, read as they are
    // when each transfer starts.
    PatchDownloader(HttpClient& http, DownloadListener& listener, const QString& baseUrl,
                    const QString& patchDir, QObject* parent = nullptr);

    void addFile(const DownloadFileInfo& info);
    // Starts the loop at the first file.
    void startDownloads();
    // Counts the current file as finished and goes on with the next.
    void downloadNextPatchFile();
    // onDone(success, retry) runs exactly once; received counts the bytes.
    // context lives on this object's thread.
    void downloadFileResumable(QObject* context, std::atomic<qint64>& received,
                               const QString& localPath, DownloadFileInfo f,
                               std::function<void(bool, bool)> onDone);

    DownloadProgress progress() const;
    void markSlowReported(int index) { slowReported.insert(index); }
    // A failed transfer waits for its retry: the loop goes on by itself.
    bool retrying() const { return pendingRetries > 0 && !stopped; }
    // Ends every transfer in flight and every retry still to come, keeping
    // their partial files.
    void stopTransfers();
    // The same after an error that no retry mends: the loop reports nothing
    // more until the next start.
    void stop();
    // The player's pause: every transfer and every retry timer ends, the
    // partial files and the counts stay, and nothing starts until resume().
    void pause();
    // Takes every paused file up again from its partial bytes, also one
    // that waited for its retry.
    void resume();
    bool isPaused() const { return paused; }
    // Forgets the lists and the counts: each update and each repair starts
    // from nothing.
    void clear();

    int retryDelayMs = 5000;
    // The most files whose transfers run at once; each file's own requests
    // keep their order. Set from setting.ini by the engine.
    int maxTransfers = ceilingTransfers;
    // How many run at once now: from startTransfers, raised while the bytes
    // received per second rise with it, lowered on failures and on a falling
    // rate; never below minTransfers (or the ceiling, when that is lower).
    int transferLimit() const { return limit; }
    static constexpr int minTransfers = 4;
    static constexpr int startTransfers = 8;
    static constexpr int ceilingTransfers = 64;
    // The rate is judged over this long at each number.
    int adaptWindowMs = 500;
    // What the transfers may hold in memory together: the bytes received and
    // not yet read in their replies and the bytes waiting to be hashed.
    static constexpr qint64 bufferBudget = 64 * 1024 * 1024;

private:
    struct Transfer {
        QPointer<QNetworkReply> reply;
        QElapsedTimer started;
        qint64 startBytes = 0; // on disk when it started
    };

    // Counts file index (deleted, or already there with its MD5), or queues
    // its transfer (first: ahead of the others, as a retry is).
    void check(int index, bool first);
    void startTransfer(int index);
    void fileDone(int index);
    void received(int index, qint64 bytes);
    // Index is no longer in transfer: the display moves on to the file in
    // transfer with the most bytes still to come.
    void transferEnded(int index);
    static void continueDownloads(PatchDownloader* loop);
    // Ends a window of the rate once it is long enough, and moves the
    // number of transfers by what it shows.
    void adapt();
    void setLimit(int n, const char* why, double rate);

    friend struct EngineProbe;

    HttpClient& http;
    DownloadListener& listener;
    const QString& baseUrl;
    const QString& patchDir;
    QList<DownloadFileInfo> downloads;
    // The file the display names.
    int downloadIndex = 0;
    qint64 allTotal = 0;
    qint64 allFinished = 0; // of the files done
    mutable qint64 doneShown = 0;
    bool downloading = false;
    int downloadFailures = 0;     // of the file that failed last
    QHash<int, int> fileFailures; // failures in a row, by index
    int nextCheck = 0;            // the next file to check
    QList<int> waiting;           // checked, to be transferred
    QHash<int, Transfer> inFlight;
    // Bytes on disk of each file started and not done: in transfer, or
    // waiting for its retry.
    QHash<int, qint64> onDisk;
    QSet<int> slowReported;
    // Bytes received by every transfer, per tenth of a second of speedClock,
    // over the last speed window; the clock runs from the round's first start.
    QElapsedTimer speedClock;
    QQueue<QPair<qint64, qint64>> speedSamples;
    int pendingRetries = 0;
    bool paused = false;
    // What pause() took out of transfer; whether a retry was among it.
    QList<int> pausedFiles;
    bool retriesPaused = false;
    bool finished = false;
    bool stopped = false; // an error that no retry mends
    bool pumpQueued = false;
    // Callbacks carry the run they belong to; stopTransfers starts another.
    int run = 0;

    int limit = startTransfers;
    QElapsedTimer adaptClock;  // the current window's start
    qint64 adaptBytes = 0;     // received in it
    int adaptFailures = 0;     // transfers that failed in it
    bool adaptStarved = false; // a free place found no file to take it
    double lastRate = -1;      // of the window before, -1 when not comparable
    int raisedFrom = 0;        // the number before a raise still being judged
    int holdWindows = 0;       // windows left before the next try upwards
};

// MD5 of a file as lower-case hex; empty when it cannot be read.
QString fileMd5(const QString& path);

#pragma once

#include "transfer/httpclient.h"
#include "base/updatetypes.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
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

// What the display shows of the loop, read once per tick.
struct DownloadProgress {
    DownloadFileInfo file; // the file in progress
    bool downloading = false;
    // Of the current file's transfer; both 0 until it has started, so a file
    // being checked or skipped shows no speed and is never "slow".
    qint64 elapsedMs = 0;
    double speed = 0;
    qint64 fileReceived = 0;
    qint64 fileTotal = 0;
    qint64 allFinished = 0;
    qint64 allTotal = 0;
    bool slowReported = false;
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
    void markSlowReported() { slowReported = true; }
    // A failed transfer waits for its retry: the loop goes on by itself.
    bool retrying() const { return pendingRetries > 0 && !stopped; }
    // Forgets the lists and the counts, after a finished update.
    void clear();

    int retryDelayMs = 5000;
    // Files whose transfers run at once; each file's own requests keep their
    // order. Set from setting.ini by the engine.
    int maxTransfers = 8;

private:
    // Counts file index (deleted, or already there with its MD5), or queues
    // its transfer (first: ahead of the others, as a retry is).
    void check(int index, bool first);
    void startTransfer(int index);
    void fileDone(int index);
    static void continueDownloads(PatchDownloader* loop);

    friend struct EngineProbe;

    HttpClient& http;
    DownloadListener& listener;
    const QString& baseUrl;
    const QString& patchDir;
    QList<DownloadFileInfo> downloads;
    // The file checked or started last, which the display names.
    int downloadIndex = 0;
    QElapsedTimer fileStartTime; // monotonic, so a transfer across midnight keeps a true speed
    qint64 fileReceived = 0;
    qint64 fileTotal = 0;
    qint64 allTotal = 0;
    qint64 allFinished = 0;
    qint64 fileResumeBase = 0;
    bool slowReported = false;
    bool downloading = false;
    int downloadFailures = 0;     // of the file that failed last
    QHash<int, int> fileFailures; // failures in a row, by index
    int nextCheck = 0;            // the next file to check
    QList<int> waiting;           // checked, to be transferred
    // Bytes on disk of each file in transfer, by index.
    QHash<int, qint64> inFlight;
    // Bytes received by every transfer since fileStartTime.
    qint64 roundReceived = 0;
    int pendingRetries = 0;
    bool finished = false;
    bool stopped = false; // an error that no retry mends
    bool pumpQueued = false;
};

// MD5 of a file as lower-case hex; empty when it cannot be read.
QString fileMd5(const QString& path);

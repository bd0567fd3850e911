// Download of patch files (the loop of the update) and of whole files (for
// the patch thread), both resumable with range requests and MD5-checked.
#include "transfer/patchdownload.h"

#include "transfer/progress.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QNetworkReply>
#include <QQueue>
#include <QThread>
#include <QTimer>
#include <QWaitCondition>
#include <algorithm>
#include <memory>
#include <utility>

namespace
{
// The display's speed is the data of every transfer over this long.
const qint64 speedWindowMs = 3000;
// Of the memory bound: half for the replies' read buffers, shared out among
// the transfers, half for the hashing queues of them all.
const qint64 hashQueueBytes = PatchDownloader::bufferBudget / 2;

qint64 readBufferFor(int transfers)
{
    return qBound<qint64>(256 * 1024, PatchDownloader::bufferBudget / 2 / qMax(transfers, 1),
                          4 * 1024 * 1024);
}

// What the hashing queues of every transfer hold together.
struct HashQueues {
    QMutex mutex;
    QWaitCondition freed;
    qint64 queued = 0;

    void take(qint64 bytes)
    {
        QMutexLocker lock(&mutex);
        // Never blocks an empty pool: a chunk is no larger than a read buffer.
        while (queued > 0 && queued + bytes > hashQueueBytes)
            freed.wait(&mutex);
        queued += bytes;
    }
    void give(qint64 bytes)
    {
        QMutexLocker lock(&mutex);
        queued -= bytes;
        freed.wakeAll();
    }
};

HashQueues& hashQueues()
{
    static HashQueues queues;
    return queues;
}

// A refused range means the local part is no prefix of the server's file.
bool rangeRefused(QNetworkReply* reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 416;
}

// Closes the file; false when the flush or the close failed, so a full disk
// never passes for a complete download.
bool closeFile(QFile& file)
{
    const bool flushed = file.flush();
    file.close();
    return flushed && file.error() == QFileDevice::NoError;
}

bool hashDevice(QCryptographicHash& hash, QIODevice& device)
{
    // 4 MiB at a time, so a large resumed file never sits in memory whole;
    // no more than the file holds, since a fresh 4 MiB block for each of
    // thousands of small files costs more than hashing them.
    QByteArray buffer(int(qBound<qint64>(4096, device.size() - device.pos(), 4194304)),
                      Qt::Uninitialized);
    for (;;) {
        const qint64 n = device.read(buffer.data(), buffer.size());
        if (n <= 0)
            return true;
        hash.addData(buffer.constData(), int(n));
    }
}

// MD5 of a transfer, fed chunk by chunk as they arrive. Once a transfer is
// past its first MiB the hashing moves to a worker thread, so that on the GUI
// thread the next chunk is received and written while the last one is hashed.
// The chunks waiting for the workers of all transfers share one bound: a
// fast server cannot fill the memory.
class ChunkHasher
{
public:
    ~ChunkHasher()
    {
        if (!worker)
            return;
        {
            QMutexLocker lock(&mutex);
            queue.clear(); // a failed transfer's rest is not worth hashing
            closed = true;
            wake.wakeAll();
        }
        worker->wait();
        hashQueues().give(queued);
    }

    // Fed directly, before the first addData: the part already on disk.
    QCryptographicHash md5{QCryptographicHash::Md5};

    void addData(const QByteArray& bytes)
    {
        if (!worker) {
            inlineBytes += bytes.size();
            if (inlineBytes <= inlineLimit || !startWorker()) {
                md5.addData(bytes);
                return;
            }
        }
        hashQueues().take(bytes.size());
        QMutexLocker lock(&mutex);
        queue.enqueue(bytes); // shared, not copied
        queued += bytes.size();
        wake.wakeAll();
    }

    QByteArray result()
    {
        if (worker) {
            QMutexLocker lock(&mutex);
            while (queued > 0)
                drained.wait(&mutex);
        }
        return md5.result();
    }

private:
    bool startWorker()
    {
        worker.reset(QThread::create([this] { run(); }));
        worker->start();
        if (worker->isRunning())
            return true;
        worker.reset(); // no thread to be had: hash here, as before
        return false;
    }

    void run()
    {
        QMutexLocker lock(&mutex);
        for (;;) {
            while (queue.isEmpty() && !closed)
                wake.wait(&mutex);
            if (queue.isEmpty())
                return;
            const QByteArray chunk = queue.dequeue();
            lock.unlock();
            md5.addData(chunk);
            hashQueues().give(chunk.size());
            lock.relock();
            queued -= chunk.size();
            drained.wakeAll();
        }
    }

    static const qint64 inlineLimit = 1048576;
    qint64 inlineBytes = 0;
    std::unique_ptr<QThread> worker;
    QMutex mutex;
    QWaitCondition wake, drained;
    QQueue<QByteArray> queue;
    qint64 queued = 0;
    bool closed = false;
};

// A transfer that would take its file past the listed size is no such file:
// it stops here, and its partial file goes with the failure.
bool stopsPastSize(QNetworkReply* reply, qint64 total, qint64 listedSize,
                   const std::shared_ptr<bool>& overrun)
{
    if (total <= listedSize)
        return false;
    if (!*overrun)
        qDebug() << "download too long" << reply->url().toString() << "over" << listedSize;
    *overrun = true;
    reply->abort();
    return true;
}
} // namespace

QString fileMd5(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    hashDevice(hash, file);
    return QString::fromLatin1(hash.result().toHex());
}

PatchDownloader::PatchDownloader(HttpClient& h, DownloadListener& l, const QString& b,
                                 const QString& p, QObject* parent)
    : QObject(parent), http(h), listener(l), baseUrl(b), patchDir(p)
{
}

void PatchDownloader::addFile(const DownloadFileInfo& info)
{
    downloads.append(info);
    allTotal += info.size;
}

void PatchDownloader::startDownloads()
{
    downloadIndex = -1;
    nextCheck = 0;
    waiting.clear();
    inFlight.clear();
    onDisk.clear();
    fileFailures.clear();
    slowReported.clear();
    speedSamples.clear();
    speedClock.invalidate();
    doneShown = 0;
    finished = false;
    stopped = false;
    limit = qMin(startTransfers, qMax(maxTransfers, 1));
    http.readBufferBytes = readBufferFor(limit);
    adaptClock.invalidate();
    adaptBytes = 0;
    adaptFailures = 0;
    adaptStarved = false;
    lastRate = -1;
    raisedFrom = 0;
    holdWindows = 0;
    downloadNextPatchFile();
}

void PatchDownloader::stopTransfers()
{
    // Callbacks of this run that are still to come find another run.
    ++run;
    pendingRetries = 0;
    const QHash<int, Transfer> open = inFlight;
    inFlight.clear();
    waiting.clear();
    for (const Transfer& t : open) {
        if (t.reply)
            t.reply->abort();
    }
}

void PatchDownloader::clear()
{
    stopTransfers();
    downloads.clear();
    nextCheck = 0;
    downloadIndex = 0;
    fileFailures.clear();
    downloadFailures = 0;
    finished = false;
    stopped = false;
    paused = false;
    retriesPaused = false;
    pausedFiles.clear();
    onDisk.clear();
    slowReported.clear();
    speedSamples.clear();
    speedClock.invalidate();
    allTotal = 0;
    allFinished = 0;
    doneShown = 0;
}

void PatchDownloader::stop()
{
    stopped = true;
    paused = false;
    stopTransfers();
}

void PatchDownloader::pause()
{
    if (paused || stopped || finished)
        return;
    paused = true;
    // Every file started and not done (in transfer, or waiting for its
    // retry) and then those still to start: all are taken up again.
    pausedFiles = onDisk.keys();
    std::sort(pausedFiles.begin(), pausedFiles.end());
    for (const int index : qAsConst(waiting))
        if (!onDisk.contains(index))
            pausedFiles.append(index);
    retriesPaused = pendingRetries > 0;
    stopTransfers();
}

void PatchDownloader::resume()
{
    if (!paused)
        return;
    paused = false;
    // The speed counts from here on: the pause is no part of it, nor of the
    // rate that moves the number of transfers.
    speedSamples.clear();
    speedClock.invalidate();
    adaptClock.invalidate();
    adaptBytes = 0;
    lastRate = -1;
    raisedFrom = 0;
    // A retry waits no longer: the player has asked to go on.
    if (std::exchange(retriesPaused, false))
        listener.downloadStateChanged(4);
    for (const int index : std::exchange(pausedFiles, {}))
        check(index, false);
    continueDownloads(this);
}

DownloadProgress PatchDownloader::progress() const
{
    DownloadProgress p;
    if (downloadIndex >= 0 && downloadIndex < downloads.size())
        p.file = downloads[downloadIndex];
    p.downloading = downloading;
    // Paused, the named file keeps what it has.
    if (inFlight.contains(downloadIndex) || (paused && onDisk.contains(downloadIndex))) {
        p.fileReceived = onDisk.value(downloadIndex);
        p.fileTotal = p.file.size;
    }
    qint64 done = allFinished;
    for (const qint64 bytes : onDisk)
        done += bytes;
    p.allTotal = allTotal;
    p.remaining = allTotal - done;
    // A file that is fetched again from its start takes nothing back that
    // was shown.
    doneShown = qMax(doneShown, done);
    p.allFinished = doneShown;

    if (speedClock.isValid()) {
        const qint64 now = speedClock.elapsed();
        const qint64 window = qMin<qint64>(speedWindowMs, now);
        qint64 bytes = 0;
        for (const auto& sample : speedSamples)
            if (sample.first * 100 >= now - window)
                bytes += sample.second;
        p.speed = window > 0 ? double(bytes) * 1000.0 / double(window) : 0.0;
    }
    for (auto it = inFlight.cbegin(); it != inFlight.cend(); ++it) {
        TransferRate t;
        t.index = it.key();
        t.file = downloads[it.key()];
        t.elapsedMs = it->started.elapsed();
        t.speed = t.elapsedMs > 0 ? double(onDisk.value(it.key()) - it->startBytes) * 1000.0 /
                                        double(t.elapsedMs)
                                  : 0.0;
        t.slowReported = slowReported.contains(it.key());
        p.transfers.append(t);
    }
    return p;
}

void PatchDownloader::received(int index, qint64 bytes)
{
    onDisk[index] += bytes;
    adaptBytes += bytes;
    adapt();
    const qint64 tenth = speedClock.elapsed() / 100;
    if (!speedSamples.isEmpty() && speedSamples.last().first == tenth)
        speedSamples.last().second += bytes;
    else
        speedSamples.enqueue({tenth, bytes});
    while (speedSamples.head().first * 100 < speedClock.elapsed() - speedWindowMs)
        speedSamples.dequeue();
}

void PatchDownloader::adapt()
{
    if (!adaptClock.isValid()) {
        adaptClock.start();
        return;
    }
    const qint64 ms = adaptClock.elapsed();
    if (ms < adaptWindowMs)
        return;
    const double rate = double(adaptBytes) * 1000.0 / double(ms);
    const int failures = adaptFailures;
    const bool starved = adaptStarved;
    adaptClock.restart();
    adaptBytes = 0;
    adaptFailures = 0;
    adaptStarved = false;

    const int floor = qMin(minTransfers, maxTransfers);
    const double before = lastRate;
    lastRate = rate;
    if (failures > 0) {
        // A server that fails or stalls is not asked for more at once.
        raisedFrom = 0;
        holdWindows = 4;
        lastRate = -1;
        if (limit > floor)
            setLimit(qMax(floor, limit / 2), "failures", rate);
        return;
    }
    if (starved) {
        // Fewer files were left than places: the rate says nothing of the
        // number.
        raisedFrom = 0;
        lastRate = -1;
        return;
    }
    if (raisedFrom > 0) {
        if (rate >= before * 1.1) {
            // More at once paid: go on while it does.
            raisedFrom = limit;
            if (limit < maxTransfers)
                setLimit(qMin(maxTransfers, limit * 2), "rising", rate);
            else
                raisedFrom = 0;
            return;
        }
        // The line is full, or the server slower with more: back to the
        // number before, and stay a while.
        const int back = raisedFrom;
        raisedFrom = 0;
        holdWindows = 8;
        lastRate = -1;
        setLimit(back, "no gain", rate);
        return;
    }
    if (before > 0 && rate < before * 0.7) {
        holdWindows = 4;
        lastRate = -1;
        if (limit > floor)
            setLimit(qMax(floor, limit * 3 / 4), "falling", rate);
        return;
    }
    if (holdWindows > 0) {
        --holdWindows;
        return;
    }
    if (limit >= maxTransfers)
        return;
    // Try more: twice as many at first, a quarter more after a level was found.
    raisedFrom = limit;
    const int step = before < 0 ? limit : qMax(2, limit / 4);
    setLimit(qMin(maxTransfers, limit + step), "trying more", rate);
}

void PatchDownloader::setLimit(int n, const char* why, double rate)
{
    if (n == limit)
        return;
    qDebug().noquote() << "transfers" << limit << "->" << n << why
                       << sizeText(rate) + QStringLiteral("/s");
    limit = n;
    http.readBufferBytes = readBufferFor(limit);
    for (const Transfer& t : qAsConst(inFlight))
        if (t.reply)
            t.reply->setReadBufferSize(http.readBufferBytes);
    continueDownloads(this);
}

void PatchDownloader::transferEnded(int index)
{
    inFlight.remove(index);
    if (index != downloadIndex || inFlight.isEmpty())
        return;
    qint64 most = -1;
    for (auto it = inFlight.cbegin(); it != inFlight.cend(); ++it) {
        const qint64 toCome = downloads[it.key()].size - onDisk.value(it.key());
        if (toCome > most) {
            most = toCome;
            downloadIndex = it.key();
        }
    }
}

void PatchDownloader::downloadNextPatchFile()
{
    pumpQueued = false;
    if (paused)
        return;
    // A budget per turn of the event loop: a long run of files that are
    // checked and skipped must not freeze the window.
    QElapsedTimer budget;
    budget.start();
    while (!stopped) {
        while (inFlight.size() < limit && !waiting.isEmpty())
            startTransfer(waiting.takeFirst());
        // Files are checked ahead of the transfers, so that those already
        // there never wait for the network.
        if (stopped || nextCheck >= downloads.size())
            break;
        if (budget.elapsed() > 20) {
            continueDownloads(this);
            return;
        }
        check(nextCheck++, false);
    }
    if (!stopped && inFlight.size() < limit && nextCheck >= downloads.size())
        adaptStarved = true;
    if (stopped || finished || nextCheck < downloads.size() || !waiting.isEmpty() ||
        !inFlight.isEmpty() || pendingRetries > 0)
        return;
    downloadIndex = downloads.size();
    finished = true;
    qDebug() << "finish download all patch file list";
    listener.allDownloaded();
}

void PatchDownloader::continueDownloads(PatchDownloader* loop)
{
    if (loop->pumpQueued)
        return;
    loop->pumpQueued = true;
    QMetaObject::invokeMethod(
        loop, [loop] { loop->downloadNextPatchFile(); }, Qt::QueuedConnection);
}

void PatchDownloader::fileDone(int index)
{
    transferEnded(index);
    onDisk.remove(index);
    allFinished += downloads[index].size;
    continueDownloads(this);
}

void PatchDownloader::check(int index, bool first)
{
    const DownloadFileInfo f = downloads[index];
    // A check shows only while nothing is in transfer.
    if (inFlight.isEmpty())
        downloadIndex = index;
    if (f.type == QLatin1String("del")) {
        continueDownloads(this);
        return;
    }

    const QString local = localPatchFilePath(patchDir, f);
    if (local.isEmpty()) {
        // File lists are checked on arrival; this guards any other source.
        stop();
        listener.downloadError(3, QStringLiteral("%1 配置解析失败").arg(f.name));
        return;
    }
    // An empty file is complete once it exists; a range request for it could
    // only be refused, and the retry would repeat without end.
    if (f.size == 0) {
        // Stale content is no start for it either.
        if (QFileInfo(local).size() > 0) {
            qDebug() << "remove local file that fails its md5:" << local;
            QFile::remove(local);
        }
        if (!QFileInfo::exists(local)) {
            QDir().mkpath(QFileInfo(local).absolutePath());
            QFile(local).open(QIODevice::WriteOnly);
        }
    }
    const QFileInfo info(local);
    if (info.exists()) {
        const qint64 existing = info.size();
        if (existing == f.size && fileMd5(local) == f.md5) {
            qDebug() << "skip download file due to md5 is identical:" << local;
            // A transfer ended by a pause may have brought it whole.
            onDisk.remove(index);
            allFinished += f.size;
            continueDownloads(this);
            return;
        }
        // A file at least as long as the listed size that failed the check
        // cannot be completed by a range request: start it afresh.
        if (existing >= f.size) {
            qDebug() << "remove local file that fails its md5:" << local;
            QFile::remove(local);
        }
    }
    if (first)
        waiting.prepend(index);
    else
        waiting.append(index);
}

void PatchDownloader::startTransfer(int index)
{
    const DownloadFileInfo f = downloads[index];
    const QString local = localPatchFilePath(patchDir, f);

    QDir().mkpath(QFileInfo(local).absolutePath());
    auto file = std::make_shared<QFile>(local);
    // Unbuffered: a write that does not reach the disk fails at once.
    if (!file->open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        stop();
        listener.downloadError(1, QStringLiteral("%1 写入失败").arg(local));
        return;
    }
    auto hash = std::make_shared<ChunkHasher>();
    hashDevice(hash->md5, *file); // leaves the position at the end: new bytes append
    const qint64 existing = file->pos();

    // The display names a file in transfer, and keeps it while it is.
    if (!inFlight.contains(downloadIndex))
        downloadIndex = index;
    Transfer& transfer = inFlight[index];
    transfer.started.start();
    transfer.startBytes = existing;
    onDisk[index] = existing;
    if (!speedClock.isValid())
        speedClock.start();
    downloading = true;
    HeaderMap headers;
    headers.insert(QStringLiteral("Range"), QStringLiteral("bytes=%1-").arg(existing));

    const QString url = baseUrl + QLatin1Char('/') + f.path + QLatin1Char('/') + f.name;
    auto overrun = std::make_shared<bool>(false);
    // An answer of status 300 or more never gets here: the client ends it.
    auto onReadyRead = [this, file, hash, index, overrun, size = f.size,
                        run = run](QNetworkReply* reply) {
        if (run != this->run)
            return;
        // After a redirect the data comes in another reply.
        const auto transfer = inFlight.find(index);
        if (transfer != inFlight.end())
            transfer->reply = reply;
        // One copy out of the reply; readAll grows its result 16 KiB at a
        // time and copies the chunk over and over.
        const QByteArray bytes = readBody(reply);
        if (stopsPastSize(reply, onDisk.value(index) + bytes.size(), size, overrun))
            return;
        if (file->write(bytes) == bytes.size()) {
            hash->addData(bytes);
            received(index, bytes.size());
        } else {
            listener.downloadError(1, QStringLiteral("%1 写入失败").arg(file->fileName()));
            qDebug() << "write file error:" << file->fileName();
            reply->abort();
        }
    };
    // Every failed transfer waits 5 s and is shown, so a file that never
    // verifies cannot be fetched again and again unseen. The other files go
    // on meanwhile; the loop ends only once this one is in.
    auto retryLater = [this, index, run = run](QNetworkReply* reply) {
        transferEnded(index);
        pendingRetries += 1;
        adaptFailures += 1;
        adapt();
        // Counted per file: another file's success mends nothing of this one.
        downloadFailures = ++fileFailures[index];
        listener.downloadError(2, QStringLiteral("%1 下载失败(%2),5s后重试")
                                      .arg(askedUrl(reply), QString::number(downloadFailures)));
        QTimer::singleShot(retryDelayMs, this, [this, index, run] {
            if (run != this->run)
                return;
            pendingRetries -= 1;
            if (stopped)
                return;
            // Another file's message stays until its own retry.
            if (pendingRetries == 0)
                listener.downloadStateChanged(4);
            check(index, true);
            continueDownloads(this);
        });
    };
    auto onFinished = [this, file, hash, f, index, retryLater, overrun,
                       run = run](QNetworkReply* reply) {
        const bool closed = closeFile(*file);
        if (run != this->run)
            return;
        QString failure = transferFailure(reply);
        if (failure.isEmpty() && !closed)
            failure = file->errorString();
        if (!failure.isEmpty()) {
            qDebug() << "download:" << file->fileName() << "error:" << failure;
            if (rangeRefused(reply) || *overrun) {
                QFile::remove(file->fileName());
                onDisk[index] = 0;
            }
            retryLater(reply);
            return;
        }
        const QString md5 = QString::fromLatin1(hash->result().toHex());
        if (md5 != f.md5) {
            qDebug() << "download file " << file->fileName() << "retry. md5 error " << md5 << " "
                     << f.md5;
            QFile::remove(file->fileName());
            onDisk[index] = 0;
            retryLater(reply);
            return;
        }
        fileFailures.remove(index);
        if (fileFailures.isEmpty())
            downloadFailures = 0;
        fileDone(index);
    };
    http.httpGet(url, headers, onFinished, onReadyRead);
    if (inFlight.contains(index))
        inFlight[index].reply = http.currentReply;
}

void PatchDownloader::downloadFileResumable(QObject* context, std::atomic<qint64>& received,
                                            const QString& localPath, DownloadFileInfo f,
                                            std::function<void(bool, bool)> onDone)
{
    qint64 start = 0;
    QDir().mkpath(QFileInfo(localPath).absolutePath());
    if (f.size == 0 && !QFileInfo::exists(localPath))
        QFile(localPath).open(QIODevice::WriteOnly);
    const QFileInfo info(localPath);
    if (info.exists()) {
        const qint64 size = info.size();
        if (size == f.size) {
            if (fileMd5(localPath) == f.md5) {
                onDone(true, false);
                return;
            }
            // A range after its end could only be refused: start afresh.
            qDebug() << "remove local file that fails its md5:" << localPath;
            QFile::remove(localPath);
        } else if (size > f.size) {
            QFile::remove(localPath);
        } else {
            start = size;
        }
    }

    auto hash = std::make_shared<QCryptographicHash>(QCryptographicHash::Md5);
    {
        QFile existing(localPath);
        if (existing.open(QIODevice::ReadOnly))
            hashDevice(*hash, existing);
    }
    auto file = std::make_shared<QFile>(localPath);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        qDebug() << "open file error " << localPath;
        onDone(false, false);
        return;
    }
    // From here on the file is used by the handlers on this object's thread.
    file->moveToThread(this->thread());
    received += start;

    HeaderMap headers;
    headers.insert(QStringLiteral("Range"), QStringLiteral("bytes=%1-").arg(start));
    const QString url = baseUrl + QLatin1Char('/') + f.path + QLatin1Char('/') + f.name;

    auto overrun = std::make_shared<bool>(false);
    auto written = std::make_shared<qint64>(start);
    auto onReadyRead = [&received, file, hash, localPath, overrun, written,
                        size = f.size](QNetworkReply* reply) {
        const QByteArray bytes = readBody(reply);
        *written += bytes.size();
        if (stopsPastSize(reply, *written, size, overrun))
            return;
        if (file->write(bytes) == bytes.size()) {
            received += bytes.size();
            file->flush();
            hash->addData(bytes);
        } else {
            qDebug() << "write file error:" << localPath;
            reply->abort();
        }
    };
    auto onFinished = [file, hash, localPath, f, onDone, overrun](QNetworkReply* reply) {
        const bool closed = closeFile(*file);
        if (!transferFailure(reply).isEmpty() || !closed) {
            qDebug() << "download:" << localPath << " error";
            if (rangeRefused(reply) || *overrun)
                QFile::remove(localPath);
            onDone(false, true);
            return;
        }
        const QString md5 = QString::fromLatin1(hash->result().toHex());
        if (md5.toLower() == f.md5.toLower()) {
            onDone(true, false);
            return;
        }
        qDebug() << "download file " << localPath << "retry. md5 error " << md5 << "->" << f.md5;
        QFile::remove(localPath);
        onDone(false, true);
    };
    // The request is made on this object's thread; the context lives there
    // too, and the transfer goes with it.
    QMetaObject::invokeMethod(
        context,
        // Moved, so that no reference to the file stays on the calling thread.
        [this, url, headers, onFinished = std::move(onFinished),
         onReadyRead = std::move(onReadyRead)] {
            http.httpGet(url, headers, onFinished, onReadyRead);
        },
        Qt::QueuedConnection);
}

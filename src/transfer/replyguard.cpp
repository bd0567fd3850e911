#include "transfer/replyguard.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QQueue>
#include <QTimer>

#include <limits>
#include <memory>

namespace
{

void timeOut(QNetworkReply* reply)
{
    if (reply->isFinished())
        return;
    qDebug() << "download timeout" << reply->url().toString();
    reply->abort();
}

// Bytes a server must deliver within ms.
qint64 minimumBytes(int ms)
{
    return qMax<qint64>(1, stallMinBytesPerSecond * ms / 1000);
}

// When the data of the last stall window falls short. Each sample is the
// running total at a time; a sample that lies the window's minimum or more
// behind the total can never again decide, so only the window's samples are
// kept, at most one per tenth of a second. The clock stands still while the
// launcher itself holds the data back.
class StallClock : public QObject
{
public:
    StallClock(QNetworkReply* reply, int firstDataMs, int stallMs)
        : QObject(reply), reply(reply), firstDataMs(firstDataMs), stallMs(stallMs),
          windowBytes(minimumBytes(stallMs))
    {
        setObjectName(QLatin1String(clockName));
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, [reply] { timeOut(reply); });
        timer.start(firstDataMs);
        clock.start();
    }

    // Data came (readyRead, with the last total known) or the running total
    // grew (downloadProgress, which Qt holds back to one in 100 ms).
    void received(qint64 total)
    {
        if (reply->isFinished())
            return;
        const qint64 now = serverTime();
        if (!samples.isEmpty() && samples.last().second < total && now - samples.last().first < 100)
            samples.last().second = total;
        else if (samples.isEmpty() || samples.last().second < total)
            samples.enqueue({now, total});
        while (samples.head().second <= total - windowBytes)
            samples.dequeue();
        if (heldSince < 0)
            rearm();
    }

    void othersReceived(qint64 bytes)
    {
        if (!samples.isEmpty() || reply->isFinished())
            return;
        othersBytes += bytes;
        if (othersBytes < minimumBytes(firstDataMs))
            return;
        othersBytes = 0;
        timer.start(firstDataMs);
    }

    void hold(bool held)
    {
        if (held == (heldSince >= 0) || samples.isEmpty() || reply->isFinished())
            return;
        if (held) {
            heldSince = clock.elapsed();
            timer.stop();
            return;
        }
        heldMs += clock.elapsed() - heldSince;
        heldSince = -1;
        rearm();
    }

    static constexpr const char* clockName = "drevnaStallClock";
    QTimer timer;
    qint64 total = 0;

private:
    // Milliseconds since the request, less the time the launcher held back.
    qint64 serverTime() const
    {
        const qint64 now = clock.elapsed();
        return now - heldMs - (heldSince >= 0 ? now - heldSince : 0);
    }

    // Without more data, the window that begins at the oldest sample still
    // needed is the first to fall short.
    void rearm()
    {
        timer.start(int(qMax<qint64>(0, samples.head().first + stallMs - serverTime())));
    }

    QNetworkReply* reply;
    int firstDataMs;
    int stallMs;
    qint64 windowBytes;
    QElapsedTimer clock;
    QQueue<QPair<qint64, qint64>> samples;
    qint64 othersBytes = 0;
    qint64 heldMs = 0;
    qint64 heldSince = -1;
};

StallClock* stallClockOf(QNetworkReply* reply)
{
    return reply->findChild<StallClock*>(QLatin1String(StallClock::clockName),
                                         Qt::FindDirectChildrenOnly);
}

} // namespace

void guardReply(QNetworkReply* reply, int firstDataMs, int stallMs, int deadlineMs)
{
    // First of the reply's handlers: no one reads a body that is refused.
    QObject::connect(
        reply, &QNetworkReply::metaDataChanged, reply,
        [reply] {
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (status < 300 || reply->isFinished())
                return;
            qDebug() << "download refused" << reply->url().toString() << "HTTP status" << status;
            reply->abort();
        },
        Qt::DirectConnection);
    auto* stall = new StallClock(reply, firstDataMs, stallMs);
    // Direct, so that the clock follows the data within its own emission,
    // whatever the reply's other handlers do meanwhile.
    QObject::connect(
        reply, &QNetworkReply::readyRead, stall, [stall] { stall->received(stall->total); },
        Qt::DirectConnection);
    QObject::connect(
        reply, &QNetworkReply::downloadProgress, stall,
        [stall](qint64 received, qint64) {
            if (received <= stall->total)
                return;
            stall->total = received;
            stall->received(received);
        },
        Qt::DirectConnection);
    QObject::connect(reply, &QNetworkReply::finished, &stall->timer, &QTimer::stop,
                     Qt::DirectConnection);
    if (deadlineMs <= 0)
        return;
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, [reply] { timeOut(reply); });
    QObject::connect(reply, &QNetworkReply::finished, deadline, &QTimer::stop,
                     Qt::DirectConnection);
    // A large document on a slow link is no trickle: each whole MiB that
    // arrives buys another deadline, so only an average below 1 MiB a
    // deadline ends it.
    auto granted = std::make_shared<qint64>(0);
    QObject::connect(
        reply, &QNetworkReply::downloadProgress, deadline,
        [deadline, deadlineMs, granted](qint64 received, qint64) {
            const qint64 due = received / documentGraceBytes;
            if (due <= *granted || !deadline->isActive())
                return;
            deadline->start(
                int(qMin<qint64>(deadline->remainingTime() + (due - *granted) * deadlineMs,
                                 std::numeric_limits<int>::max())));
            *granted = due;
        },
        Qt::DirectConnection);
    deadline->start(deadlineMs);
}

void othersReceived(QNetworkReply* reply, qint64 bytes)
{
    if (StallClock* stall = stallClockOf(reply))
        stall->othersReceived(bytes);
}

void holdBack(QNetworkReply* reply, bool held)
{
    if (StallClock* stall = stallClockOf(reply))
        stall->hold(held);
}

void limitReply(QNetworkReply* reply, qint64 maxBytes)
{
    reply->setProperty(bodyLimitProperty, maxBytes);
    auto check = [reply, maxBytes] {
        const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
        if (reply->isFinished() ||
            (declared.toLongLong() <= maxBytes && reply->bytesAvailable() <= maxBytes))
            return;
        qDebug() << "download too long" << reply->url().toString() << "over" << maxBytes;
        reply->abort();
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, check, Qt::DirectConnection);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, check, Qt::DirectConnection);
}

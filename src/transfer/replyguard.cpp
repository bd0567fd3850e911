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

// When the data of the last stall window falls short. Each sample is the
// running total at a time; a sample that lies stallMinBytes or more behind
// the total can never again decide, so at most that many are kept.
class StallClock : public QObject
{
public:
    StallClock(QNetworkReply* reply, int firstDataMs, int stallMs)
        : QObject(reply), reply(reply), firstDataMs(firstDataMs), stallMs(stallMs)
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
        if (samples.isEmpty() || samples.last().second < total)
            samples.enqueue({clock.elapsed(), total});
        while (samples.head().second <= total - stallMinBytes)
            samples.dequeue();
        // Without more data, the window that begins at the oldest sample
        // still needed is the first to fall short.
        timer.start(int(qMax<qint64>(0, samples.head().first + stallMs - clock.elapsed())));
    }

    // Before its first data, a request may wait behind others.
    void othersReceived()
    {
        if (samples.isEmpty() && !reply->isFinished())
            timer.start(firstDataMs);
    }

    static constexpr const char* clockName = "drevnaStallClock";
    QTimer timer;
    qint64 total = 0;

private:
    QNetworkReply* reply;
    int firstDataMs;
    int stallMs;
    QElapsedTimer clock;
    QQueue<QPair<qint64, qint64>> samples;
};

} // namespace

void guardReply(QNetworkReply* reply, int firstDataMs, int stallMs, int deadlineMs)
{
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

void othersReceived(QNetworkReply* reply)
{
    if (auto* stall = reply->findChild<StallClock*>(QLatin1String(StallClock::clockName),
                                                    Qt::FindDirectChildrenOnly))
        stall->othersReceived();
}

void limitReply(QNetworkReply* reply, qint64 maxBytes)
{
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

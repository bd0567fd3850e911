#include "portforwarder.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QQueue>
#include <QSet>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
#include <utility>

namespace
{
// Under a rate, what a server's socket may hold before it is read: the
// server then waits, as on a full link.
const qint64 socketBytes = 256 * 1024;
} // namespace

PortForwarder::PortForwarder(quint16 listenPort, quint16 targetPort, QObject* parent, int delayMs,
                             qint64 bytesPerSecond)
    : QObject(parent), target(targetPort), delay(delayMs), rate(bytesPerSecond)
{
    connect(&listener, &QTcpServer::newConnection, this, &PortForwarder::accept);
    listener.listen(QHostAddress::LocalHost, listenPort);
    line.start();
    // The line's buffer holds 50 ms at its rate, like a router's: a connection
    // that finds it full waits until it has room, whatever its window.
    lineBufferBytes = qMax<qint64>(rate / 20, 64 * 1024);
}

qint64 PortForwarder::arrivalNs(qint64 bytes)
{
    // One line for every connection: a chunk leaves once the ones before it
    // have, takes its size over the rate, and arrives a delay later. The
    // buffer has room again once it has left.
    const qint64 now = line.nsecsElapsed();
    lineFreeNs = qMax(lineFreeNs, now) + bytes * 1000000000 / rate;
    lineQueued += bytes;
    QTimer::singleShot(int((lineFreeNs - now + 999999) / 1000000), Qt::PreciseTimer, this,
                       [this, bytes] {
                           lineQueued -= bytes;
                           const QSet<QTcpSocket*> waiting = std::exchange(blocked, {});
                           for (QTcpSocket* upstream : waiting)
                               emit upstream->readyRead(); // read on where it stopped
                       });
    return lineFreeNs + qint64(delay) * 1000000;
}

void PortForwarder::accept()
{
    while (QTcpSocket* client = listener.nextPendingConnection()) {
        auto* upstream = new QTcpSocket(client);
        // Until upstream is connected, the client's bytes wait in its buffer.
        const int d = delay;
        // Timers of one interval fire in the order they were started, so the
        // delayed chunks keep their order.
        auto later = [d](QObject* context, std::function<void()> step) {
            if (d <= 0)
                step();
            else
                QTimer::singleShot(d, Qt::PreciseTimer, context, step);
        };
        auto pipe = [later](QTcpSocket* from, QTcpSocket* to) {
            connect(from, &QTcpSocket::readyRead, to, [from, to, later] {
                if (!from->isOpen() || to->state() != QAbstractSocket::ConnectedState)
                    return;
                const QByteArray bytes = from->readAll();
                later(to, [to, bytes] {
                    if (to->state() == QAbstractSocket::ConnectedState)
                        to->write(bytes);
                });
            });
        };
        pipe(client, upstream);
        // Under a rate the answers arrive in order through one queue per
        // connection (timers of different intervals may fire out of order);
        // a null chunk closes the connection.
        auto arriving = std::make_shared<QQueue<QPair<qint64, QByteArray>>>();
        auto* due = new QTimer(client);
        due->setSingleShot(true);
        due->setTimerType(Qt::PreciseTimer);
        connect(due, &QTimer::timeout, client, [this, client, arriving, due] {
            const qint64 now = line.nsecsElapsed();
            while (!arriving->isEmpty() && arriving->head().first <= now) {
                const QByteArray bytes = arriving->dequeue().second;
                if (bytes.isNull())
                    client->disconnectFromHost();
                else if (client->state() == QAbstractSocket::ConnectedState)
                    client->write(bytes);
            }
            if (!arriving->isEmpty())
                due->start(int((arriving->head().first - now + 999999) / 1000000));
        });
        auto send = [this, arriving, due](const QByteArray& bytes) {
            arriving->enqueue({arrivalNs(bytes.size()), bytes});
            if (!due->isActive())
                due->start(int((arriving->head().first - line.nsecsElapsed() + 999999) / 1000000));
        };
        if (rate > 0) {
            // The answers go over the shared line while its buffer has room.
            upstream->setReadBufferSize(socketBytes);
            connect(upstream, &QTcpSocket::readyRead, client, [this, upstream, send] {
                while (upstream->isOpen() && upstream->bytesAvailable() > 0) {
                    if (lineQueued >= lineBufferBytes) {
                        blocked.insert(upstream);
                        return;
                    }
                    send(upstream->read(16 * 1024));
                }
            });
            connect(upstream, &QObject::destroyed, this,
                    [this, upstream] { blocked.remove(upstream); });
        } else {
            pipe(upstream, client);
        }
        connect(upstream, &QTcpSocket::connected, client,
                [client, upstream] { upstream->write(client->readAll()); });
        // Either side closing ends both; the rest of the data goes first.
        auto upstreamGone = [this, client, upstream, later, send] {
            const QByteArray rest = upstream->isOpen() ? upstream->readAll() : QByteArray();
            if (rate > 0) {
                if (!rest.isEmpty())
                    send(rest);
                send(QByteArray());
                return;
            }
            later(client, [client, rest] {
                if (client->state() == QAbstractSocket::ConnectedState)
                    client->write(rest);
                client->disconnectFromHost();
            });
        };
        connect(upstream, &QTcpSocket::disconnected, client, upstreamGone);
        connect(upstream, &QTcpSocket::errorOccurred, client, upstreamGone);
        connect(client, &QTcpSocket::disconnected, client, [client, upstream] {
            upstream->abort();
            client->deleteLater();
        });
        upstream->connectToHost(QHostAddress::LocalHost, target);
    }
}

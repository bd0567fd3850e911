#include "portforwarder.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <functional>

namespace
{
// Under a rate, what one connection's answers may have on the line before
// its server is read again: the server then waits, as on a full link.
const qint64 lineShareBytes = 128 * 1024;
const char* const onLineProperty = "forwarderOnLine";
} // namespace

PortForwarder::PortForwarder(quint16 listenPort, quint16 targetPort, QObject* parent, int delayMs,
                             qint64 bytesPerSecond)
    : QObject(parent), target(targetPort), delay(delayMs), rate(bytesPerSecond)
{
    connect(&listener, &QTcpServer::newConnection, this, &PortForwarder::accept);
    listener.listen(QHostAddress::LocalHost, listenPort);
    line.start();
}

qint64 PortForwarder::arrivalMs(qint64 bytes)
{
    // One line for every connection: a chunk leaves once the ones before it
    // have, takes its size over the rate, and arrives a delay later.
    const qint64 now = line.nsecsElapsed();
    lineFreeNs = qMax(lineFreeNs, now) + bytes * 1000000000 / rate;
    return (lineFreeNs - now + 999999) / 1000000 + delay;
}

void PortForwarder::accept()
{
    while (QTcpSocket* client = listener.nextPendingConnection()) {
        auto* upstream = new QTcpSocket(client);
        // Until upstream is connected, the client's bytes wait in its buffer.
        const int d = delay;
        // Timers of one interval fire in the order they were started, so the
        // delayed chunks keep their order; paced ones are due in the order
        // they left.
        auto later = [d](QObject* context, std::function<void()> step, int ms = -1) {
            ms = ms < 0 ? d : ms;
            if (ms <= 0)
                step();
            else
                QTimer::singleShot(ms, Qt::PreciseTimer, context, step);
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
        std::function<void()> pace;
        if (rate > 0) {
            // The answers go over the shared line, a share at a time.
            upstream->setReadBufferSize(lineShareBytes);
            pace = [this, client, upstream, later] {
                while (upstream->isOpen() && upstream->bytesAvailable() > 0 &&
                       client->property(onLineProperty).toLongLong() < lineShareBytes) {
                    const QByteArray bytes = upstream->read(64 * 1024);
                    client->setProperty(onLineProperty,
                                        client->property(onLineProperty).toLongLong() +
                                            bytes.size());
                    later(
                        client,
                        [this, client, upstream, bytes] {
                            client->setProperty(onLineProperty,
                                                client->property(onLineProperty).toLongLong() -
                                                    bytes.size());
                            if (client->state() == QAbstractSocket::ConnectedState)
                                client->write(bytes);
                            emit upstream->readyRead(); // its share has room again
                        },
                        int(arrivalMs(bytes.size())));
                }
            };
            connect(upstream, &QTcpSocket::readyRead, client, pace);
        } else {
            pipe(upstream, client);
        }
        connect(upstream, &QTcpSocket::connected, client,
                [client, upstream] { upstream->write(client->readAll()); });
        // Either side closing ends both; the rest of the data goes first.
        auto upstreamGone = [this, client, upstream, later] {
            const QByteArray rest = upstream->isOpen() ? upstream->readAll() : QByteArray();
            later(
                client,
                [client, rest] {
                    if (client->state() == QAbstractSocket::ConnectedState)
                        client->write(rest);
                    client->disconnectFromHost();
                },
                rate > 0 ? int(arrivalMs(rest.size())) : -1);
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

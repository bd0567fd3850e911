#include "portforwarder.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <functional>

PortForwarder::PortForwarder(quint16 listenPort, quint16 targetPort, QObject* parent, int delayMs)
    : QObject(parent), target(targetPort), delay(delayMs)
{
    connect(&listener, &QTcpServer::newConnection, this, &PortForwarder::accept);
    listener.listen(QHostAddress::LocalHost, listenPort);
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
        pipe(upstream, client);
        connect(upstream, &QTcpSocket::connected, client,
                [client, upstream] { upstream->write(client->readAll()); });
        // Either side closing ends both; the rest of the data goes first.
        auto upstreamGone = [client, upstream, later] {
            const QByteArray rest = upstream->isOpen() ? upstream->readAll() : QByteArray();
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

#include "portforwarder.h"

#include <QHostAddress>
#include <QTcpSocket>

PortForwarder::PortForwarder(quint16 listenPort, quint16 targetPort, QObject* parent)
    : QObject(parent), target(targetPort)
{
    connect(&listener, &QTcpServer::newConnection, this, &PortForwarder::accept);
    listener.listen(QHostAddress::LocalHost, listenPort);
}

void PortForwarder::accept()
{
    while (QTcpSocket* client = listener.nextPendingConnection()) {
        auto* upstream = new QTcpSocket(client);
        // Until upstream is connected, the client's bytes wait in its buffer.
        auto pipe = [](QTcpSocket* from, QTcpSocket* to) {
            connect(from, &QTcpSocket::readyRead, to, [from, to] {
                if (from->isOpen() && to->state() == QAbstractSocket::ConnectedState)
                    to->write(from->readAll());
            });
        };
        pipe(client, upstream);
        pipe(upstream, client);
        connect(upstream, &QTcpSocket::connected, client,
                [client, upstream] { upstream->write(client->readAll()); });
        // Either side closing ends both; the rest of the data goes first.
        auto upstreamGone = [client, upstream] {
            if (upstream->isOpen() && client->state() == QAbstractSocket::ConnectedState)
                client->write(upstream->readAll());
            client->disconnectFromHost();
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

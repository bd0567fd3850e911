#pragma once

// Forwards connections from a fixed loopback port to another loopback port,
// byte for byte in both directions. The programs reach their servers at
// addresses fixed at build time; a forwarder on such a port lets a test put
// an HttpTestServer (which listens on a free port) behind it.
//
// Runs on the thread that creates it, so that thread must keep its event
// loop going (QSignalSpy::wait, QTRY_*, modal boxes all do).
//
// Example:
//   HttpTestServer server;
//   PortForwarder contentA(18600, server.port());
//   QVERIFY2(contentA.isListening(), "port 18600 is taken");
//
// With delayMs, every chunk in either direction, and each close, is passed
// on that much later: half the round trip of a distant server. With
// bytesPerSecond, the answers of every connection share one line of that
// rate with a buffer of 50 ms: each chunk waits for the line, and while the
// buffer is full no server is read.

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTcpServer>

class QTcpSocket;

class PortForwarder : public QObject
{
    Q_OBJECT

public:
    PortForwarder(quint16 listenPort, quint16 targetPort, QObject* parent = nullptr,
                  int delayMs = 0, qint64 bytesPerSecond = 0);

    bool isListening() const { return listener.isListening(); }

private:
    void accept();
    // When a chunk of bytes sent now over the line arrives, on line's clock.
    qint64 arrivalNs(qint64 bytes);

    QTcpServer listener;
    quint16 target;
    int delay;
    qint64 rate;
    QElapsedTimer line;
    qint64 lineFreeNs = 0; // when the line has sent everything given to it
    qint64 lineBufferBytes = 0;
    qint64 lineQueued = 0;     // given to the line and not yet sent
    QSet<QTcpSocket*> blocked; // servers not read for want of room
};

#pragma once

// An in-process HTTP/1.1 server for tests, listening on 127.0.0.1.
//
// The sockets run on the server's own thread, so a test may block its main
// thread (QThread::wait, QProcess::execute, a modal dialog) without stalling
// the server. Every public member is thread-safe and may be called at any
// time; a changed route or fault applies to requests that arrive afterwards.
//
// Routes, looked up by the request path without its query string:
//   1. setFile(path, bytes): exact path match, content held in memory;
//   2. serveDirectory(root): "/a/b.bin" maps to root + "/a/b.bin" (no escape
//      above root), streamed from disk, for larger content;
//   3. anything else is 404.
// GET and HEAD are answered; every reply carries Content-Length and
// "Connection: close", and the connection is closed after the reply.
//
// Range: "bytes=N-" and "bytes=N-M" give 206 with Content-Range; a start at or
// beyond the end gives 416 with "Content-Range: bytes */SIZE". Other range
// forms are ignored (200 with the whole body).
//
// setTls(certificate, key) makes it an HTTPS server from the next connection
// on (url() then starts with "https://"); the client must trust the
// certificate's issuer (makeTestCertificates in testfiles.h makes both).
//
// Faults (HttpTestServer::Fault) are set per route path and/or globally; a
// route's fault takes precedence over the global one. They apply to replies of
// existing and missing routes alike, so a fault with a status turns any path
// into that reply.
//
// Example:
//   HttpTestServer server;
//   server.setFile("/list.json", R"({"a":1})");
//   HttpTestServer::Fault slow;
//   slow.bytesPerSecond = 1024;
//   server.setFault("/list.json", slow);
//   QSignalSpy spy(&server, &HttpTestServer::requestReceived);
//   ... request server.url("/list.json?time=1") ...
//   QCOMPARE(server.requests().last().header("Range"), QByteArray("bytes=10-"));

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>
#include <atomic>

class QThread;
class HttpTestServerWorker;
struct HttpTestServerShared;

class HttpTestServer : public QObject
{
    Q_OBJECT

public:
    // One received request, recorded before any byte of the reply is sent.
    struct Request {
        QByteArray method;                               // "GET"
        QByteArray target;                               // path with query: "/a.json?time=1"
        QList<QPair<QByteArray, QByteArray>> headers;    // as received, in order
        QByteArray path() const;                         // target without the query
        QByteArray query() const;                        // text after the first '?', or empty
        QByteArray header(const QByteArray& name) const; // case-insensitive; empty if absent
        bool hasHeader(const QByteArray& name) const;
    };

    // How to misbehave when answering a request. Fields combine; the default
    // Fault does nothing special.
    struct Fault {
        // Wait this long after the request before sending anything.
        int delayMs = 0;
        // Reply with this status instead of serving the route; the body is
        // `body`, extra headers (e.g. {"Location", "http://..."}) come from
        // `headers`. 0 = serve the route normally.
        int status = 0;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        // Send this many body bytes, then send nothing for stallMs (-1: keep
        // the connection open and silent until the client gives up).
        qint64 stallAfterBytes = -1;
        int stallMs = -1;
        // Send this many body bytes, then close the connection (the declared
        // Content-Length is not reached). Note: Qt 5.15 often reports such a
        // reply as finished without error, with the short body; only sizes
        // or checksums reveal it.
        qint64 dropAfterBytes = -1;
        // Answer every request with 200 and the whole body, ignoring Range.
        bool ignoreRange = false;
        // Throttle the body to this many bytes per second (0 = unthrottled).
        qint64 bytesPerSecond = 0;
        // Send one body byte every trickleMs, from the first at once (0 = off).
        int trickleMs = 0;
        // No Content-Length; after the body, filler bytes without end.
        bool endless = false;
        // Apply to this many requests only, then forget the fault (-1 = for
        // all requests). Handy for "fail once, then succeed".
        int times = -1;
    };

    // Starts listening on a free port; isListening() tells whether that worked.
    explicit HttpTestServer(QObject* parent = nullptr);
    ~HttpTestServer() override;

    bool isListening() const;
    quint16 port() const;
    // "http://127.0.0.1:PORT" + path (path should start with "/"), or
    // "https://" while TLS is on.
    QString url(const QString& path = QString()) const;
    // PEM certificate and key; empty ones turn TLS off again.
    void setTls(const QByteArray& certificatePem, const QByteArray& keyPem);

    // Routes.
    void setFile(const QString& path, const QByteArray& bytes);
    void removeFile(const QString& path);
    void serveDirectory(const QString& rootDir); // empty string: no directory
    void clearRoutes();

    // Faults.
    void setFault(const QString& path, const Fault& fault);
    void clearFault(const QString& path);
    void setGlobalFault(const Fault& fault);
    void clearFaults(); // route and global faults

    // Requests seen so far, oldest first.
    QList<Request> requests() const;
    // Requests whose path (without query) equals path.
    QList<Request> requests(const QString& path) const;
    void clearRequests();

signals:
    // Emitted on this object's thread (normally the test's) for every request,
    // after it has been recorded in requests(). Works with QSignalSpy.
    void requestReceived(const HttpTestServer::Request& request);
    // Emitted on this object's thread when the connection of a request has
    // closed: bodyBytes of the reply's body had been handed to the socket,
    // complete when that was all of it (false when the client went first).
    void replyEnded(const QByteArray& path, qint64 bodyBytes, bool complete);

private:
    HttpTestServerShared* shared;
    QThread* thread;
    HttpTestServerWorker* worker;
    // Set on the server's thread.
    std::atomic<quint16> listeningPort{0};
    std::atomic<bool> tls{false};
};

Q_DECLARE_METATYPE(HttpTestServer::Request)

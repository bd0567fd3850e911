#include "httptestserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <limits>

using Fault = HttpTestServer::Fault;
using Request = HttpTestServer::Request;

QByteArray Request::path() const
{
    const int q = target.indexOf('?');
    return q < 0 ? target : target.left(q);
}

QByteArray Request::query() const
{
    const int q = target.indexOf('?');
    return q < 0 ? QByteArray() : target.mid(q + 1);
}

QByteArray Request::header(const QByteArray& name) const
{
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return QByteArray();
}

bool Request::hasHeader(const QByteArray& name) const
{
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// Configuration and records, shared between the test's thread and the
// server thread.
struct HttpTestServerShared {
    mutable QMutex mutex;
    QHash<QByteArray, QByteArray> files;
    QString root;
    QHash<QByteArray, Fault> faults;
    bool hasGlobalFault = false;
    Fault globalFault;
    QList<Request> requests;
    QSslCertificate certificate; // null: plain HTTP
    QSslKey key;

    // Picks the fault for one request and counts down limited ones.
    Fault takeFault(const QByteArray& path)
    {
        QMutexLocker lock(&mutex);
        auto it = faults.find(path);
        if (it != faults.end()) {
            Fault f = it.value();
            if (f.times > 0 && --it.value().times == 0)
                faults.erase(it);
            if (f.times != 0)
                return f;
        }
        if (hasGlobalFault) {
            Fault f = globalFault;
            if (f.times > 0 && --globalFault.times == 0)
                hasGlobalFault = false;
            if (f.times != 0)
                return f;
        }
        return Fault();
    }
};

namespace
{

const qint64 maxHeadBytes = 64 * 1024;
const qint64 chunkBytes = 64 * 1024;
const qint64 maxQueuedBytes = 256 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// "bytes=N-" or "bytes=N-M"; false for any other form.
bool parseRange(const QByteArray& value, qint64* first, qint64* last)
{
    const QByteArray v = value.trimmed();
    if (!v.startsWith("bytes="))
        return false;
    const QByteArray rangeSpec = v.mid(6).trimmed();
    const int dash = rangeSpec.indexOf('-');
    if (dash <= 0 || rangeSpec.contains(','))
        return false;
    bool ok = false;
    *first = rangeSpec.left(dash).trimmed().toLongLong(&ok);
    if (!ok || *first < 0)
        return false;
    const QByteArray end = rangeSpec.mid(dash + 1).trimmed();
    if (end.isEmpty()) {
        *last = -1;
        return true;
    }
    *last = end.toLongLong(&ok);
    return ok && *last >= *first;
}

} // namespace

// One accepted connection: reads one request, answers it, closes.
class HttpTestConnection : public QObject
{
public:
    HttpTestConnection(QTcpSocket* socket, HttpTestServerShared* shared, HttpTestServer* owner,
                       QObject* parent)
        : QObject(parent), socket(socket), shared(shared), owner(owner)
    {
        socket->setParent(this);
        pumpTimer.setSingleShot(true);
        connect(&pumpTimer, &QTimer::timeout, this, &HttpTestConnection::pump);
        connect(socket, &QTcpSocket::readyRead, this, &HttpTestConnection::onReadyRead);
        connect(socket, &QTcpSocket::bytesWritten, this, &HttpTestConnection::pump);
        connect(socket, &QTcpSocket::disconnected, this, &HttpTestConnection::ended);
        onReadyRead();
    }

private:
    void onReadyRead()
    {
        const QByteArray data = socket->readAll();
        if (answering)
            return; // one request per connection; the rest is ignored
        head += data;
        const int end = head.indexOf("\r\n\r\n");
        if (end < 0) {
            if (head.size() > maxHeadBytes)
                socket->abort();
            return;
        }
        answering = true;
        handle(head.left(end));
    }

    void ended()
    {
        if (answering) {
            HttpTestServer* o = owner;
            const QByteArray path = requestPath;
            const qint64 sent = bodySent;
            const bool complete = done && bodySent == bodyLength;
            QMetaObject::invokeMethod(
                o, [o, path, sent, complete] { emit o->replyEnded(path, sent, complete); },
                Qt::QueuedConnection);
        }
        deleteLater();
    }

    void handle(const QByteArray& text)
    {
        Request request;
        const QList<QByteArray> lines = text.split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.target = first.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        {
            QMutexLocker lock(&shared->mutex);
            shared->requests.append(request);
        }
        HttpTestServer* o = owner;
        QMetaObject::invokeMethod(
            o, [o, request] { emit o->requestReceived(request); }, Qt::QueuedConnection);

        requestPath = request.path();
        fault = shared->takeFault(requestPath);
        prepare(request);
        if (fault.delayMs > 0)
            QTimer::singleShot(fault.delayMs, this, &HttpTestConnection::start);
        else
            start();
    }

    // Works out status, headers and body source of the reply.
    void prepare(const Request& request)
    {
        int status = 200;
        QList<QPair<QByteArray, QByteArray>> extra;
        qint64 size = 0;

        if (fault.status != 0) {
            status = fault.status;
            memory = fault.body;
            size = memory.size();
            extra = fault.headers;
        } else if (!findRoute(request.path(), &size)) {
            status = 404;
            memory = "Not Found";
            size = memory.size();
        }

        qint64 offset = 0;
        qint64 length = size;
        qint64 first = 0;
        qint64 last = -1;
        if (status == 200 && !fault.ignoreRange && request.hasHeader("Range") &&
            parseRange(request.header("Range"), &first, &last)) {
            if (first >= size) {
                status = 416;
                extra.append({"Content-Range", "bytes */" + QByteArray::number(size)});
                if (file)
                    file.reset();
                memory.clear();
                length = 0;
            } else {
                if (last < 0 || last >= size)
                    last = size - 1;
                status = 206;
                offset = first;
                length = last - first + 1;
                extra.append({"Content-Range", "bytes " + QByteArray::number(first) + "-" +
                                                   QByteArray::number(last) + "/" +
                                                   QByteArray::number(size)});
            }
        }

        bodyOffset = offset;
        bodyLength = request.method == "HEAD" ? 0 : length;
        if (file && !file->seek(offset))
            bodyLength = 0;
        contentLength = bodyLength;
        if (fault.endless)
            bodyLength = std::numeric_limits<qint64>::max();

        replyHead =
            "HTTP/1.1 " + QByteArray::number(status) + " " + reasonPhrase(status) +
            (fault.endless ? QByteArray() : "\r\nContent-Length: " + QByteArray::number(length)) +
            "\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n";
        for (const auto& h : extra)
            replyHead += h.first + ": " + h.second + "\r\n";
        replyHead += "\r\n";
    }

    bool findRoute(const QByteArray& path, qint64* size)
    {
        QString root;
        {
            QMutexLocker lock(&shared->mutex);
            auto it = shared->files.constFind(path);
            if (it != shared->files.constEnd()) {
                memory = it.value();
                *size = memory.size();
                return true;
            }
            root = shared->root;
        }
        if (root.isEmpty())
            return false;
        const QString decoded = QUrl::fromPercentEncoding(path);
        const QStringList parts = decoded.split('/', Qt::SkipEmptyParts);
        if (parts.isEmpty() || parts.contains(QStringLiteral("..")))
            return false;
        const QString local = QDir(root).filePath(parts.join('/'));
        if (!QFileInfo(local).isFile())
            return false;
        file.reset(new QFile(local));
        if (!file->open(QIODevice::ReadOnly)) {
            file.reset();
            return false;
        }
        *size = file->size();
        return true;
    }

    void start()
    {
        socket->write(replyHead);
        throttleClock.start();
        started = true;
        pump();
    }

    // Sends as much body as the faults and the socket allow now; called again
    // when the socket drained, a throttle tick passed or a stall ended.
    void pump()
    {
        if (!started || done || socket->state() != QAbstractSocket::ConnectedState)
            return;
        while (bodySent < bodyLength) {
            if (socket->bytesToWrite() > maxQueuedBytes)
                return;
            qint64 chunk = qMin(chunkBytes, bodyLength - bodySent);
            if (fault.dropAfterBytes >= 0) {
                if (bodySent >= fault.dropAfterBytes) {
                    done = true;
                    socket->disconnectFromHost();
                    return;
                }
                chunk = qMin(chunk, fault.dropAfterBytes - bodySent);
            }
            if (fault.stallAfterBytes >= 0 && !stallOver) {
                if (bodySent >= fault.stallAfterBytes) {
                    if (fault.stallMs >= 0 && !stalling) {
                        stalling = true;
                        QTimer::singleShot(fault.stallMs, this, [this] {
                            stallOver = true;
                            throttleClock.restart();
                            throttleBase = bodySent;
                            pump();
                        });
                    }
                    return; // silent, connection kept open
                }
                chunk = qMin(chunk, fault.stallAfterBytes - bodySent);
            }
            if (fault.bytesPerSecond > 0) {
                // A tenth of a second's worth may go at once.
                const qint64 allowed =
                    fault.bytesPerSecond * (throttleClock.elapsed() + 100) / 1000 -
                    (bodySent - throttleBase);
                if (allowed <= 0) {
                    pumpTimer.start(20);
                    return;
                }
                chunk = qMin(chunk, allowed);
            }
            if (fault.trickleMs > 0) {
                const qint64 elapsed = throttleClock.elapsed();
                if (elapsed / fault.trickleMs + 1 <= bodySent) {
                    pumpTimer.start(int(fault.trickleMs - elapsed % fault.trickleMs));
                    return;
                }
                chunk = 1;
            }
            QByteArray bytes;
            if (bodySent >= contentLength)
                bytes = QByteArray(int(chunk), 'E'); // an endless answer's filler
            else if (file)
                bytes = file->read(qMin(chunk, contentLength - bodySent));
            else
                bytes = memory.mid(int(bodyOffset + bodySent),
                                   int(qMin(chunk, contentLength - bodySent)));
            if (bytes.isEmpty()) { // file shrank under us
                socket->abort();
                return;
            }
            socket->write(bytes);
            bodySent += bytes.size();
        }
        done = true;
        socket->disconnectFromHost(); // after the queued bytes are written
    }

    QTcpSocket* socket;
    HttpTestServerShared* shared;
    QPointer<HttpTestServer> owner;
    QByteArray head;
    QByteArray requestPath;
    bool answering = false;
    bool started = false;
    bool done = false;

    Fault fault;
    QByteArray replyHead;
    QByteArray memory;
    QScopedPointer<QFile> file;
    qint64 bodyOffset = 0;
    qint64 bodyLength = 0;
    qint64 contentLength = 0; // the route's part; an endless answer goes on past it
    qint64 bodySent = 0;

    bool stalling = false;
    bool stallOver = false;
    QElapsedTimer throttleClock;
    qint64 throttleBase = 0;
    QTimer pumpTimer;
};

// Hands out TLS sockets while a certificate is set.
class HttpTestListener : public QTcpServer
{
public:
    HttpTestListener(HttpTestServerShared* shared, QObject* parent)
        : QTcpServer(parent), shared(shared)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QSslCertificate certificate;
        QSslKey key;
        {
            QMutexLocker lock(&shared->mutex);
            certificate = shared->certificate;
            key = shared->key;
        }
        if (certificate.isNull()) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        addPendingConnection(socket);
        socket->startServerEncryption();
    }

private:
    HttpTestServerShared* shared;
};

// Lives on the server thread; owns the listening socket and connections.
class HttpTestServerWorker : public QObject
{
public:
    HttpTestServerWorker(HttpTestServerShared* shared, HttpTestServer* owner)
        : shared(shared), owner(owner)
    {
    }

    quint16 listen()
    {
        server = new HttpTestListener(shared, this);
        connect(server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server->nextPendingConnection())
                new HttpTestConnection(socket, shared, owner, this);
        });
        if (!server->listen(QHostAddress::LocalHost, 0))
            return 0;
        return server->serverPort();
    }

private:
    HttpTestServerShared* shared;
    HttpTestServer* owner;
    QTcpServer* server = nullptr;
};

HttpTestServer::HttpTestServer(QObject* parent)
    : QObject(parent), shared(new HttpTestServerShared), thread(new QThread)
{
    qRegisterMetaType<HttpTestServer::Request>();
    thread->setObjectName(QStringLiteral("HttpTestServer"));
    worker = new HttpTestServerWorker(shared, this);
    worker->moveToThread(thread);
    thread->start();
    QMetaObject::invokeMethod(
        worker, [this] { listeningPort = worker->listen(); }, Qt::BlockingQueuedConnection);
}

HttpTestServer::~HttpTestServer()
{
    // Connections and sockets must die on the thread that owns them; a
    // finishing thread still runs its pending deferred deletions.
    worker->deleteLater();
    thread->quit();
    thread->wait();
    delete thread;
    delete shared;
}

bool HttpTestServer::isListening() const
{
    return listeningPort != 0;
}

quint16 HttpTestServer::port() const
{
    return listeningPort;
}

QString HttpTestServer::url(const QString& path) const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(tls ? "https" : "http").arg(listeningPort) +
           path;
}

void HttpTestServer::setTls(const QByteArray& certificatePem, const QByteArray& keyPem)
{
    QMutexLocker lock(&shared->mutex);
    shared->certificate = QSslCertificate(certificatePem);
    shared->key = QSslKey(keyPem, QSsl::Ec);
    tls = !shared->certificate.isNull();
}

void HttpTestServer::setFile(const QString& path, const QByteArray& bytes)
{
    QMutexLocker lock(&shared->mutex);
    shared->files.insert(path.toUtf8(), bytes);
}

void HttpTestServer::removeFile(const QString& path)
{
    QMutexLocker lock(&shared->mutex);
    shared->files.remove(path.toUtf8());
}

void HttpTestServer::serveDirectory(const QString& rootDir)
{
    QMutexLocker lock(&shared->mutex);
    shared->root = rootDir;
}

void HttpTestServer::clearRoutes()
{
    QMutexLocker lock(&shared->mutex);
    shared->files.clear();
    shared->root.clear();
}

void HttpTestServer::setFault(const QString& path, const Fault& fault)
{
    QMutexLocker lock(&shared->mutex);
    shared->faults.insert(path.toUtf8(), fault);
}

void HttpTestServer::clearFault(const QString& path)
{
    QMutexLocker lock(&shared->mutex);
    shared->faults.remove(path.toUtf8());
}

void HttpTestServer::setGlobalFault(const Fault& fault)
{
    QMutexLocker lock(&shared->mutex);
    shared->globalFault = fault;
    shared->hasGlobalFault = true;
}

void HttpTestServer::clearFaults()
{
    QMutexLocker lock(&shared->mutex);
    shared->faults.clear();
    shared->hasGlobalFault = false;
    shared->globalFault = Fault();
}

QList<Request> HttpTestServer::requests() const
{
    QMutexLocker lock(&shared->mutex);
    return shared->requests;
}

QList<Request> HttpTestServer::requests(const QString& path) const
{
    const QByteArray p = path.toUtf8();
    QList<Request> result;
    QMutexLocker lock(&shared->mutex);
    for (const Request& r : shared->requests)
        if (r.path() == p)
            result.append(r);
    return result;
}

void HttpTestServer::clearRequests()
{
    QMutexLocker lock(&shared->mutex);
    shared->requests.clear();
}

#pragma once

#include "transfer/replyguard.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

class QNetworkReply;
class QTimer;

using ReplyCallback = std::function<void(QNetworkReply*)>;
using ProgressCallback = std::function<void(QNetworkReply*, qint64, qint64)>;
using JsonCallback = std::function<void(QJsonObject)>;
using HeaderMap = QMap<QString, QString>;

// The update engine's one way to make HTTP requests: a GET with a time
// stamp query, raw headers, a first-data time-out, a slow-server guard and
// one bandwidth cap over every download. Plain HTTP and HTTPS (the system's
// certificates; a certificate error fails the request), HTTP/2 where a TLS
// server offers it, redirects to the same or a safer scheme.
// currentReply is the request made last: callers that read it keep one
// request in flight at a time.
class HttpClient : public QObject
{
    Q_OBJECT

public:
    explicit HttpClient(QObject* parent = nullptr);
    ~HttpClient() override;

    // Must be called on this object's thread; onFinished runs exactly once.
    void httpGet(const QString& url, const HeaderMap& headers, ReplyCallback onFinished,
                 ReplyCallback onReadyRead = {}, ProgressCallback onProgress = {});

    // Qt gives one server at most six connections per manager: the client
    // spreads the requests to an HTTP/1.1 server over more managers, up to
    // maxServerConnections; an HTTP/2 server gets one multiplexed connection.
    static constexpr int connectionsPerManager = 6;
    static constexpr int maxServerConnections = 32;
    static constexpr int managerCount =
        (maxServerConnections + connectionsPerManager - 1) / connectionsPerManager;
    QNetworkAccessManager networkManager; // the first of them
    QNetworkReply* currentReply = nullptr;
    // Redirects followed in a row before a request fails.
    static constexpr int maxRedirects = 5;

    // Bytes a reply read chunk by chunk may hold unread; the download loop
    // shares its memory bound out among its transfers. A new value holds
    // for the requests made afterwards.
    qint64 readBufferBytes = 4 * 1024 * 1024;

    // Milliseconds without data before a request is given up.
    int firstDataTimeoutMs = defaultFirstDataTimeoutMs;
    int stallTimeoutMs = defaultStallTimeoutMs;
    // The whole of a request without onReadyRead: a document, read at its end.
    int documentDeadlineMs = defaultDocumentDeadlineMs;

    // One cap over the bodies of every transfer that reads them with
    // readBody, in bytes per second; 0 for none. A new value holds from the
    // next read on.
    qint64 maxBytesPerSecond = 0;
    // What the cap lets through now, at most a tenth of a second's worth;
    // spend() counts what was taken.
    qint64 allowance();
    void spend(qint64 bytes) { capTokens -= bytes; }

signals:
    // A reply of this client received bytes.
    void received(QNetworkReply* reply, qint64 bytes);
    // A reply ended, just before its onFinished runs.
    void replyEnded(QNetworkReply* reply);

private:
    struct Callbacks {
        ReplyCallback onFinished;
        ReplyCallback onReadyRead;
        ProgressCallback onProgress;
    };
    // The request to address, hops redirects after the one asked for.
    void send(const QUrl& address, const HeaderMap& headers, const Callbacks& callbacks,
              const QString& asked, int hops);
    // Transfers in flight to one server, by manager, and how it answers.
    struct Server {
        int inFlight[managerCount] = {};
        bool known = false;       // a first answer told the protocol
        bool multiplexed = false; // HTTP/2: every request on one connection
    };
    // The manager for a request to url: the first whose connections are not
    // all busy, else the least loaded (its requests are pipelined).
    int managerFor(const QUrl& url);
    QNetworkAccessManager& manager(int index);
    std::unique_ptr<QNetworkAccessManager> more[managerCount - 1];
    QHash<QString, Server> servers;

    // Hands the reply's data to onReadyRead as the cap allows, and its end to
    // onFinished only once the data is read.
    void deliver(QNetworkReply* reply, const ReplyCallback& onReadyRead);
    // A token bucket: what the cap has earned and not yet been spent, and
    // the part of a byte earned since (in thousandths).
    QElapsedTimer capClock;
    qint64 capLastMs = 0;
    qint64 capTokens = 0;
    qint64 capFraction = 0;
};

// The next part of a streamed reply's body: all it holds, or under a cap
// what the cap allows now (possibly nothing; the rest comes again later).
QByteArray readBody(QNetworkReply* reply);

// Callable from any thread: requests url on client's thread and hands the
// parsed JSON object (empty on any failure) to onJson there.
void fetchJson(HttpClient* client, const QString& url, JsonCallback onJson);

// False for an answer of status 300 or more: an error page of the server, or
// a redirect that was not followed. Such a transfer is aborted as soon as
// its status is known (guardReply).
bool replyCarriesContent(QNetworkReply* reply);

// Why a finished transfer brought no usable content, or empty text when it
// did: "HTTP status N", else the network error.
QString transferFailure(QNetworkReply* reply);

// The address a request of HttpClient asked for, with its time stamp, also
// after redirects took it elsewhere: what the texts and log lines name.
QString askedUrl(QNetworkReply* reply);

#pragma once

#include "transfer/replyguard.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QMap>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <functional>

class QNetworkReply;
class QTimer;

using ReplyCallback = std::function<void(QNetworkReply*)>;
using ProgressCallback = std::function<void(QNetworkReply*, qint64, qint64)>;
using JsonCallback = std::function<void(QJsonObject)>;
using HeaderMap = QMap<QString, QString>;

// The update engine's one way to make HTTP requests: a GET with a time
// stamp query, raw headers, a first-data time-out, a slow-server guard and
// one bandwidth cap over every download.
// One current-reply slot, so callers keep one request in flight at a time.
class HttpClient : public QObject
{
    Q_OBJECT

public:
    explicit HttpClient(QObject* parent = nullptr);

    // Must be called on this object's thread; onFinished runs exactly once.
    void httpGet(const QString& url, const HeaderMap& headers, ReplyCallback onFinished,
                 ReplyCallback onReadyRead = {}, ProgressCallback onProgress = {});

    QNetworkAccessManager networkManager;
    QNetworkReply* currentReply = nullptr;

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

private:
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
// a redirect, which is not followed. Such a transfer is aborted as soon as
// its status is known (guardReply).
bool replyCarriesContent(QNetworkReply* reply);

// Why a finished transfer brought no usable content, or empty text when it
// did: "HTTP status N", else the network error.
QString transferFailure(QNetworkReply* reply);

#include "transfer/httpclient.h"

#include "base/updatetypes.h"
#include "transfer/replyguard.h"

#include <QDateTime>
#include <QDebug>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <utility>

namespace
{

const char* const clientProperty = "drevnaHttpClient";
const char* const askedProperty = "drevnaAskedUrl";
const char* const followedProperty = "drevnaRedirectFollowed";
// A capped reply with data left is offered again after this pause.
const int capRetryMs = 20;

QString errorText(QNetworkReply* reply)
{
    const QString failure = transferFailure(reply);
    return failure.isEmpty() ? QStringLiteral("ok") : failure;
}

bool sameServer(const QUrl& a, const QUrl& b)
{
    return a.host() == b.host() && a.port() == b.port() && a.scheme() == b.scheme();
}

QString serverKey(const QUrl& url)
{
    return url.scheme() + QLatin1String("://") + url.host() + QLatin1Char(':') +
           QString::number(url.port());
}

// The connections manager index may open to one server.
int connectionsOf(int index)
{
    return qBound(0, HttpClient::maxServerConnections - index * HttpClient::connectionsPerManager,
                  HttpClient::connectionsPerManager);
}

} // namespace

HttpClient::HttpClient(QObject* parent) : QObject(parent) {}

HttpClient::~HttpClient() = default;

QNetworkAccessManager& HttpClient::manager(int index)
{
    if (index == 0)
        return networkManager;
    std::unique_ptr<QNetworkAccessManager>& m = more[index - 1];
    if (!m)
        m.reset(new QNetworkAccessManager);
    return *m;
}

int HttpClient::managerFor(const QUrl& url)
{
    const Server& server = servers[serverKey(url)];
    // Until a TLS server's first answer tells whether it speaks HTTP/2, its
    // requests wait for one connection rather than open one everywhere.
    if (server.multiplexed || (!server.known && url.scheme() == QLatin1String("https")))
        return 0;
    int best = 0;
    for (int i = 0; i < managerCount; ++i) {
        if (server.inFlight[i] < connectionsOf(i))
            return i;
        if (server.inFlight[i] * connectionsOf(best) < server.inFlight[best] * connectionsOf(i))
            best = i;
    }
    return best;
}

void HttpClient::httpGet(const QString& url, const HeaderMap& headers, ReplyCallback onFinished,
                         ReplyCallback onReadyRead, ProgressCallback onProgress)
{
    QString text = url;
    text.replace(QLatin1Char('\\'), QLatin1Char('/'));
    // The content server's caches key on the full address: a fresh stamp on
    // every request, even after an existing query.
    text += QStringLiteral("?time=") +
            QString::number(quint32(QDateTime::currentDateTimeUtc().toSecsSinceEpoch()));

    const QUrl address(text, QUrl::TolerantMode);
    qDebug() << "download url:" << text;
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it)
        qDebug() << "header:" << it.key() << "->" << it.value();
    send(address, headers, {onFinished, onReadyRead, onProgress}, address.toString(), 0);
}

void HttpClient::send(const QUrl& address, const HeaderMap& headers, const Callbacks& callbacks,
                      const QString& asked, int hops)
{
    const ReplyCallback& onFinished = callbacks.onFinished;
    const ReplyCallback& onReadyRead = callbacks.onReadyRead;
    const ProgressCallback& onProgress = callbacks.onProgress;
    QNetworkRequest request(address);
    // Redirects are followed here, not by Qt: a reply that follows them
    // holds its whole body, however small its read buffer.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // Several transfers share each connection once every one is busy.
    request.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute, true);
    // Negotiated over TLS only. Qt acknowledges HTTP/2 data as it arrives,
    // not as it is read, so under a cap, which leaves data unread, the
    // transfer takes HTTP/1.1, whose connections wait for the reader.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute,
                         address.scheme() == QLatin1String("https") && maxBytesPerSecond <= 0);
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it)
        request.setRawHeader(it.key().toLatin1(), it.value().toLatin1());

    const int index = managerFor(address);
    QNetworkReply* reply = manager(index).get(request);
    const QString key = serverKey(address);
    ++servers[key].inFlight[index];
    currentReply = reply;
    // The cap keeps a download that is written chunk by chunk small in
    // memory. A caller that reads the body only when it has finished must
    // not have it: once the buffer is full nothing more is read and the
    // reply never finishes.
    if (onReadyRead)
        reply->setReadBufferSize(readBufferBytes);
    reply->setProperty(clientProperty, QVariant::fromValue<QObject*>(this));
    reply->setProperty(askedProperty, asked);
    connect(
        reply, &QNetworkReply::metaDataChanged, this,
        [this, reply, key] {
            Server& server = servers[key];
            if (server.known)
                return;
            server.known = true;
            server.multiplexed = reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
        },
        Qt::DirectConnection);
    // Content servers hand files to the storage that holds them: followed
    // to the same or a safer scheme, a few in a row. The request goes on
    // under the same callbacks; this reply ends unseen.
    connect(
        reply, &QNetworkReply::metaDataChanged, this,
        [this, reply, address, headers, callbacks, asked, hops] {
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            const QByteArray location = reply->rawHeader("Location");
            if (reply->isFinished() || location.isEmpty() ||
                (status != 301 && status != 302 && status != 303 && status != 307 && status != 308))
                return;
            const QUrl to = address.resolved(QUrl::fromEncoded(location, QUrl::TolerantMode));
            const bool safe =
                to.scheme() == QLatin1String("https") ||
                (to.scheme() == QLatin1String("http") && address.scheme() == QLatin1String("http"));
            if (hops >= maxRedirects || !safe) {
                // Refused as an answer of status 300 or more (guardReply).
                qDebug() << "download redirect not followed" << address.toString() << "to"
                         << to.toString() << (safe ? "after" : "less safe, after") << hops;
                return;
            }
            qDebug() << "download redirected" << address.toString() << "to" << to.toString();
            reply->setProperty(followedProperty, true);
            if (currentReply == reply)
                currentReply = nullptr;
            const QVariant limit = reply->property(bodyLimitProperty);
            reply->abort();
            send(to, headers, callbacks, asked, hops + 1);
            if (limit.isValid())
                limitReply(currentReply, limit.toLongLong());
        },
        Qt::DirectConnection);

    // Guards the status, the wait for the first data, then the server's rate,
    // so a transfer that stalls or crawls midway ends in an error the callers
    // retry instead of hanging for good.
    guardReply(reply, firstDataTimeoutMs, stallTimeoutMs, onReadyRead ? 0 : documentDeadlineMs);
    // Requests beyond a server's connections wait behind the others.
    connect(
        this, &HttpClient::received, reply,
        [reply](QNetworkReply* from, qint64 bytes) {
            if (from != reply && sameServer(from->url(), reply->url()))
                othersReceived(reply, bytes);
        },
        Qt::DirectConnection);
    connect(
        reply, &QNetworkReply::downloadProgress, this,
        [this, reply, seen = qint64(0)](qint64 total, qint64) mutable {
            if (total > seen)
                emit received(reply, total - std::exchange(seen, total));
        },
        Qt::DirectConnection);

    connect(
        reply, &QNetworkReply::errorOccurred, this,
        [reply] {
            if (reply->property(followedProperty).toBool())
                return;
            qDebug() << "download error" << reply->url().toString()
                     << " error code:" << errorText(reply);
        },
        Qt::DirectConnection);
    // Under a cap the body may still wait in the reply when it finishes: the
    // finish is held back until the last of it has been read.
    // The connection owns the handler; its retries hold it only while due.
    auto finish = std::make_shared<std::function<void()>>();
    const std::weak_ptr<std::function<void()>> self = finish;
    *finish = [this, reply, onFinished, onReadyRead, self, key, index] {
        if (onReadyRead && reply->bytesAvailable() > 0 &&
            reply->error() == QNetworkReply::NoError) {
            // Also when the cap was lifted meanwhile: no data is left behind.
            deliver(reply, onReadyRead);
            if (maxBytesPerSecond > 0 && reply->bytesAvailable() > 0) {
                QTimer::singleShot(capRetryMs, reply, [again = self.lock()] { (*again)(); });
                return;
            }
        }
        --servers[key].inFlight[index];
        if (reply->property(followedProperty).toBool()) {
            reply->deleteLater();
            return;
        }
        qDebug() << "download Finish" << reply->url().toString()
                 << " error code:" << errorText(reply);
        if (currentReply == reply)
            currentReply = nullptr;
        emit replyEnded(reply);
        if (onFinished)
            onFinished(reply);
        reply->deleteLater();
    };
    connect(
        reply, &QNetworkReply::finished, this, [finish] { (*finish)(); }, Qt::DirectConnection);
    connect(
        reply, &QNetworkReply::readyRead, this,
        [this, reply, onReadyRead] { deliver(reply, onReadyRead); }, Qt::DirectConnection);
    if (onProgress)
        connect(
            reply, &QNetworkReply::downloadProgress, this,
            [reply, onProgress](qint64 received, qint64 total) {
                onProgress(reply, received, total);
            },
            Qt::DirectConnection);
}

void HttpClient::deliver(QNetworkReply* reply, const ReplyCallback& onReadyRead)
{
    if (!onReadyRead)
        return;
    onReadyRead(reply);
    // Data the cap held back gets no new signal once the buffer is full.
    const bool held = maxBytesPerSecond > 0 && reply->bytesAvailable() > 0 && reply->isRunning();
    holdBack(reply, held);
    if (held && !reply->property("drevnaCapPending").toBool()) {
        reply->setProperty("drevnaCapPending", true);
        QTimer::singleShot(capRetryMs, reply, [this, reply, onReadyRead] {
            reply->setProperty("drevnaCapPending", false);
            deliver(reply, onReadyRead);
        });
    }
}

qint64 HttpClient::allowance()
{
    if (!capClock.isValid())
        capClock.start();
    const qint64 now = capClock.elapsed();
    // Earned at the rate in force now, for the time since the last look: a
    // changed cap holds at once. Unused time saves up no more than a tenth of
    // a second's worth, which also keeps the product far from overflowing.
    const qint64 burst = qMax<qint64>(maxBytesPerSecond / 10, 1);
    const qint64 earned = maxBytesPerSecond * qMin<qint64>(now - capLastMs, 100) + capFraction;
    capLastMs = now;
    capFraction = earned % 1000;
    capTokens = qMin(capTokens + earned / 1000, burst);
    return capTokens;
}

QByteArray readBody(QNetworkReply* reply)
{
    auto* client = qobject_cast<HttpClient*>(reply->property(clientProperty).value<QObject*>());
    if (!client || client->maxBytesPerSecond <= 0)
        return reply->read(reply->bytesAvailable());
    const qint64 n = qMin(reply->bytesAvailable(), client->allowance());
    if (n <= 0)
        return QByteArray();
    client->spend(n);
    return reply->read(n);
}

void fetchJson(HttpClient* client, const QString& url, JsonCallback onJson)
{
    const QString target = url;
    QTimer::singleShot(0, client, [client, target, onJson] {
        client->httpGet(target, HeaderMap(), [target, onJson](QNetworkReply* reply) {
            if (reply->error() != QNetworkReply::NoError) {
                qDebug() << "download" << target << "error";
                if (onJson)
                    onJson(QJsonObject());
                return;
            }
            const QJsonObject object = parseJsonObject(QString::fromUtf8(reply->readAll()));
            if (onJson)
                onJson(object);
        });
    });
}

bool replyCarriesContent(QNetworkReply* reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return !status.isValid() || status.toInt() < 300;
}

QString askedUrl(QNetworkReply* reply)
{
    const QVariant asked = reply->property(askedProperty);
    return asked.isValid() ? asked.toString() : reply->url().toString();
}

QString transferFailure(QNetworkReply* reply)
{
    if (!replyCarriesContent(reply))
        return QStringLiteral("HTTP status %1")
            .arg(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    return QString();
}

// The update engine's HTTP helper against the in-process server.
#include "httptestserver.h"
#include "logcollector.h"
#include "testfiles.h"
#include "transfer/httpclient.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMutex>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

Q_DECLARE_METATYPE(HttpTestServer::Fault)

namespace
{

quint32 nowSeconds()
{
    return quint32(QDateTime::currentDateTimeUtc().toSecsSinceEpoch());
}

// What one onFinished call saw.
struct Outcome {
    int calls = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QByteArray location;
    bool replyWasCurrent = true;
    bool http2 = false;
    bool destroyed = false;
    bool destroyedDuringFinish = false;
};

// nginx with TLS and HTTP/2 on a free port, serving root, for as long as it lives.
struct Nginx {
    Nginx(const QString& dir, const QString& root)
    {
        QTcpServer probe; // a free port, let go just before nginx takes it
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
        probe.close();
        const QString conf = QString(R"(daemon off; user root; worker_processes 1; pid %1/nginx.pid;
error_log %1/error.log warn; events { worker_connections 64; }
http { access_log off; client_body_temp_path %1/body; proxy_temp_path %1/proxy;
fastcgi_temp_path %1/fastcgi; uwsgi_temp_path %1/uwsgi; scgi_temp_path %1/scgi;
server { listen 127.0.0.1:%2 ssl http2; ssl_certificate %1/server.pem;
ssl_certificate_key %1/server.key; root %3; } })")
                                 .arg(dir)
                                 .arg(port)
                                 .arg(root);
        writeAll(dir + "/nginx.conf", conf.toUtf8());
        process.start("nginx", {"-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/error.log"});
        QTcpSocket socket;
        for (int i = 0; i < 100 && socket.state() != QAbstractSocket::ConnectedState; ++i) {
            socket.connectToHost(QHostAddress::LocalHost, port);
            socket.waitForConnected(100);
        }
    }
    ~Nginx()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
    QString url(const QString& path) const
    {
        return QStringLiteral("https://127.0.0.1:%1").arg(port) + path;
    }
    QProcess process;
    quint16 port = 0;
};

} // namespace

class TestHttpClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void requestLine_data();
    void requestLine();
    void rawHeaders_data();
    void rawHeaders();
    void outcomes_data();
    void outcomes();
    void readyReadAndProgress_data();
    void readyReadAndProgress();
    void timeouts_data();
    void timeouts();
    void fetchJsonResults_data();
    void fetchJsonResults();
    void fetchJsonFromAnotherThread();
    void fetchJsonAfterClientIsGone();

private:
    // Starts one httpGet; the outcome fills in when it finishes.
    std::shared_ptr<Outcome> start(HttpClient& client, const QString& url,
                                   bool withOnFinished = true);

    HttpTestServer server;
    QTemporaryDir tlsDir;
    QScopedPointer<Nginx> nginx;
    // The helper's debug lines, kept out of the output. Made in
    // initTestCase: QtTest installs its own handler before.
    QScopedPointer<LogCollector> log;
    QByteArray body = bytePattern(100000);
    // Larger than the reply's 4 MiB read buffer.
    QByteArray bigBody = bytePattern(5 * 1024 * 1024 + 17);
};

void TestHttpClient::initTestCase()
{
    QVERIFY(server.isListening());
    // The system's certificates and the test's own authority.
    QVERIFY(makeTestCertificates(tlsDir.path()));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(tls.caCertificates() +
                          QSslCertificate::fromPath(tlsDir.filePath("ca.pem")));
    QSslConfiguration::setDefaultConfiguration(tls);
    QVERIFY(writeAll(tlsDir.filePath("www/p/list.json"), body));
    nginx.reset(new Nginx(tlsDir.path(), tlsDir.filePath("www")));
    log.reset(new LogCollector(false));
}

void TestHttpClient::init()
{
    server.clearFaults();
    server.clearRoutes();
    server.clearRequests();
    server.setTls({}, {});
    server.setFile("/p/list.json", body);
    server.setFile("/p/dir/file.bin", body);
    server.setFile("/p/big.json", bigBody);
    log->clear();
}

std::shared_ptr<Outcome> TestHttpClient::start(HttpClient& client, const QString& url,
                                               bool withOnFinished)
{
    auto outcome = std::make_shared<Outcome>();
    ReplyCallback onFinished;
    if (withOnFinished)
        onFinished = [&client, outcome](QNetworkReply* reply) {
            ++outcome->calls;
            outcome->error = reply->error();
            outcome->status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            outcome->body = reply->readAll();
            outcome->location = reply->rawHeader("Location");
            outcome->replyWasCurrent = client.currentReply == reply;
            outcome->http2 = reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
        };
    client.httpGet(url, HeaderMap(), onFinished);
    // Connected after the client's own handlers, so these run once they returned.
    QNetworkReply* reply = client.currentReply;
    connect(reply, &QObject::destroyed, [outcome] { outcome->destroyed = true; });
    connect(reply, &QNetworkReply::finished,
            [outcome] { outcome->destroyedDuringFinish = outcome->destroyed; });
    return outcome;
}

// Address rewriting: backslashes become slashes and "?time=" is always appended.
void TestHttpClient::requestLine_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected"); // target before the time stamp

    QTest::newRow("plain") << "/p/list.json"
                           << "/p/list.json?time=";
    QTest::newRow("backslash before the name") << "/p/dir\\file.bin"
                                               << "/p/dir/file.bin?time=";
    QTest::newRow("existing query gets a second ?") << "/p/list.json?v=3"
                                                    << "/p/list.json?v=3?time=";
}

void TestHttpClient::requestLine()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);

    HttpClient client;
    const quint32 before = nowSeconds();
    const std::shared_ptr<Outcome> started = start(client, server.url(path));
    QTRY_COMPARE(started->calls, 1);
    const Outcome outcome = *started;
    const quint32 after = nowSeconds();
    QCOMPARE(outcome.calls, 1);
    QCOMPARE(outcome.error, QNetworkReply::NoError);

    const QList<HttpTestServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 1);
    const QString target = QString::fromLatin1(requests[0].target);
    QVERIFY2(target.startsWith(expected), qPrintable(target));
    bool ok = false;
    const quint32 stamp = target.mid(expected.size()).toUInt(&ok);
    QVERIFY2(ok, qPrintable(target));
    QVERIFY(stamp >= before && stamp <= after);

    QCOMPARE(log->matching("^download url:").size(), 1);
    QVERIFY(log->matching("^download url:")
                .value(0)
                .contains(server.url(expected.left(expected.indexOf("?time=")))));
}

void TestHttpClient::rawHeaders_data()
{
    QTest::addColumn<HeaderMap>("headers");
    QTest::addColumn<QStringList>("expectedLog"); // starts of the "header:" lines, in order

    QTest::newRow("none") << HeaderMap() << QStringList();
    QTest::newRow("range") << HeaderMap{{"Range", "bytes=10-"}}
                           << QStringList{R"(header: "Range" -> "bytes=10-")"};
    // Sent as Latin-1 bytes; logged in the debug stream's own quoting.
    QTest::newRow("key order, Latin-1")
        << HeaderMap{{"X-Name", QStringLiteral("caf\u00e9")}, {"Range", "bytes=0-9"}}
        << QStringList{R"(header: "Range" -> "bytes=0-9")", R"(header: "X-Name" -> "caf)"};
}

void TestHttpClient::rawHeaders()
{
    QFETCH(HeaderMap, headers);
    QFETCH(QStringList, expectedLog);

    HttpClient client;
    int calls = 0;
    client.httpGet(server.url("/p/list.json"), headers, [&calls](QNetworkReply*) { ++calls; });
    QTRY_COMPARE(calls, 1);

    const HttpTestServer::Request request = server.requests().value(0);
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it)
        QCOMPARE(request.header(it.key().toLatin1()), it.value().toLatin1());

    const QStringList headerLines = log->matching("^header:");
    QCOMPARE(headerLines.size(), expectedLog.size());
    for (int i = 0; i < headerLines.size(); ++i)
        QVERIFY2(headerLines[i].startsWith(expectedLog[i]), qPrintable(headerLines[i]));
    // The request line comes first, then its headers.
    QVERIFY(log->all().value(0).startsWith("download url:"));
}

// onFinished sees every outcome once, with the reply still readable, and the
// reply and its timer go away afterwards.
void TestHttpClient::outcomes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<HttpTestServer::Fault>("fault");
    QTest::addColumn<bool>("withOnFinished");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("expectedBody");
    // "tls": HTTPS with the test's authority; "stranger": a certificate that
    // nobody trusts; "nginx": HTTPS and HTTP/2 through nginx.
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<int>("requests");

    HttpTestServer::Fault none;
    QTest::newRow("whole body") << "/p/list.json" << none << true << int(QNetworkReply::NoError)
                                << 200 << body << "" << 1;
    // A caller without a ready-read callback reads the body at the end; the
    // read buffer must not stop the transfer before that.
    QTest::newRow("body above the read buffer")
        << "/p/big.json" << none << true << int(QNetworkReply::NoError) << 200 << bigBody << ""
        << 1;
    QTest::newRow("empty onFinished")
        << "/p/list.json" << none << false << int(QNetworkReply::NoError) << 200 << QByteArray()
        << "" << 1;
    const int refused = QNetworkReply::OperationCanceledError; // 300 or more: before the body
    QTest::newRow("missing") << "/p/none" << none << true << refused << 404 << QByteArray() << ""
                             << 1;

    HttpTestServer::Fault error;
    error.status = 500;
    error.endless = true;
    QTest::newRow("server error, endless body")
        << "/p/list.json" << error << true << refused << 500 << QByteArray() << "" << 1;

    // Each answer of /p/list.json sends the client to /p/dir/file.bin.
    HttpTestServer::Fault redirect;
    redirect.status = 307;
    redirect.headers.append(qMakePair(QByteArray("Location"), QByteArray("/p/dir/file.bin")));
    redirect.times = 1;
    QTest::newRow("redirect followed")
        << "/p/list.json" << redirect << true << 0 << 200 << body << "" << 2;
    QTest::newRow("redirect followed over HTTPS")
        << "/p/list.json" << redirect << true << 0 << 200 << body << "tls" << 2;
    redirect.headers[0].second = "/p/list.json";
    redirect.times = 6;
    QTest::newRow("six redirects in a row")
        << "/p/list.json" << redirect << true << refused << 307 << QByteArray() << "" << 6;
    redirect.headers[0].second = "PLAIN/p/list.json";
    redirect.times = 1;
    QTest::newRow("redirect from HTTPS to HTTP")
        << "/p/list.json" << redirect << true << refused << 307 << QByteArray() << "tls" << 1;

    QTest::newRow("unknown scheme")
        << "" << none << true << int(QNetworkReply::ProtocolUnknownError) << 0 << QByteArray() << ""
        << 0;
    QTest::newRow("HTTPS, the test's authority")
        << "/p/list.json" << none << true << 0 << 200 << body << "tls" << 1;
    QTest::newRow("HTTPS, a certificate nobody trusts")
        << "/p/list.json" << none << true << int(QNetworkReply::SslHandshakeFailedError) << 0
        << QByteArray() << "stranger" << 0;
    QTest::newRow("HTTP/2 through nginx")
        << "/p/list.json" << none << true << 0 << 200 << body << "nginx" << 0;
}

void TestHttpClient::outcomes()
{
    QFETCH(QString, path);
    QFETCH(HttpTestServer::Fault, fault);
    QFETCH(bool, withOnFinished);
    QFETCH(int, error);
    QFETCH(int, status);
    QFETCH(QByteArray, expectedBody);
    QFETCH(QString, scheme);
    QFETCH(int, requests);

    const QString plain = server.url();
    for (auto& header : fault.headers)
        header.second.replace("PLAIN", plain.toLatin1());
    server.setGlobalFault(fault);
    if (!scheme.isEmpty())
        server.setTls(
            readAll(tlsDir.filePath(scheme == "stranger" ? "stranger.pem" : "server.pem")),
            readAll(tlsDir.filePath(scheme == "stranger" ? "stranger.key" : "server.key")));
    HttpClient client;
    const QString url = path.isEmpty()      ? QStringLiteral("nothing://x/y")
                        : scheme == "nginx" ? nginx->url(path)
                                            : server.url(path);
    const std::shared_ptr<Outcome> outcome = start(client, url, withOnFinished);
    QTRY_COMPARE(log->matching("^download Finish").size(), 1);
    QCOMPARE(client.currentReply, static_cast<QNetworkReply*>(nullptr));

    if (withOnFinished) {
        QCOMPARE(outcome->calls, 1);
        QVERIFY2(
            outcome->error == QNetworkReply::NetworkError(error),
            qPrintable(QString("error %1, status %2").arg(outcome->error).arg(outcome->status)));
        QCOMPARE(outcome->status, status);
        QCOMPARE(outcome->body.size(), expectedBody.size());
        QVERIFY(outcome->body == expectedBody);
        QVERIFY(!outcome->replyWasCurrent); // slot already cleared for the callback
        QCOMPARE(outcome->http2, scheme == "nginx");
    }
    // Deleted only once control is back in the event loop.
    QVERIFY(!outcome->destroyedDuringFinish);
    QTRY_VERIFY(outcome->destroyed);
    QTRY_COMPARE(client.findChildren<QTimer*>().size(), 0);
    QCOMPARE(server.requests().size(), requests);

    QCOMPARE(log->matching("^download Finish").size(), 1);
    QCOMPARE(log->matching("^download error").size(), error ? 1 : 0);
    QCOMPARE(log->matching("^download timeout").size(), 0);
}

void TestHttpClient::readyReadAndProgress_data()
{
    QTest::addColumn<qint64>("cap"); // bytes per second over both transfers
    QTest::newRow("uncapped") << qint64(0);
    QTest::newRow("one cap over two transfers") << qint64(200000);
    // 100 MiB/s used for a tenth of a second, then this, with no silence to pay.
    QTest::newRow("cap lowered after a fast start") << -qint64(200000);
}

// Two transfers at once; under a cap each gets its whole body, and both
// together take no less than the cap allows.
void TestHttpClient::readyReadAndProgress()
{
    QFETCH(qint64, cap);
    HttpClient client;
    client.maxBytesPerSecond = cap < 0 ? 100 << 20 : cap;
    QElapsedTimer fast;
    fast.start();
    while (cap < 0 && fast.elapsed() < 100)
        client.spend(client.allowance());
    client.maxBytesPerSecond = cap = qAbs(cap);
    QByteArray received[2];
    qint64 bufferSize = 0;
    qint64 lastProgress = 0;
    qint64 progressTotal = 0;
    int calls = 0;
    QElapsedTimer clock;
    clock.start();
    for (QByteArray& into : received)
        client.httpGet(
            server.url("/p/list.json"), HeaderMap(), [&calls](QNetworkReply*) { ++calls; },
            [&](QNetworkReply* reply) {
                bufferSize = reply->readBufferSize();
                into += readBody(reply);
            },
            [&](QNetworkReply*, qint64 done, qint64 total) {
                lastProgress = done;
                progressTotal = total;
            });
    QTRY_COMPARE(calls, 2);
    QVERIFY(received[0] == body && received[1] == body);
    QCOMPARE(bufferSize, qint64(4 * 1024 * 1024));
    QCOMPARE(lastProgress, qint64(body.size()));
    QCOMPARE(progressTotal, qint64(body.size()));
    if (cap > 0)
        QVERIFY(clock.elapsed() >= (2 * body.size() - cap / 10) * 1000 / cap);
}

// The slow cases: the first-data time-out (once at its real 5 s) and the stall
// guard, with shortened windows where the length does not matter.
void TestHttpClient::timeouts_data()
{
    QTest::addColumn<int>("firstDataMs");
    QTest::addColumn<int>("stallMs");
    QTest::addColumn<HttpTestServer::Fault>("fault");
    QTest::addColumn<int>("quietMs"); // how long onFinished must not come
    QTest::addColumn<int>("error");
    QTest::addColumn<int>(
        "bodySize"); // received before the end (-N: at most N); the file has at least 1000
    QTest::addColumn<int>("deadlineMs"); // > 0: a document; < 0: capped at -N B/s for quietMs
    QTest::addColumn<int>("others"); // started before; < 0: they get the fault, this one silence

    HttpTestServer::Fault silent;
    silent.delayMs = 60000;
    QTest::newRow("no first data for 5 s")
        << 5000 << 60000 << silent << 4000 << int(QNetworkReply::OperationCanceledError) << 0 << 0
        << 0;

    HttpTestServer::Fault stall;
    stall.stallAfterBytes = 10;
    QTest::newRow("stall after first data")
        << 5000 << 800 << stall << 500 << int(QNetworkReply::OperationCanceledError) << 10 << 0
        << 0;

    HttpTestServer::Fault pause;
    pause.stallAfterBytes = 10;
    pause.stallMs = 1500;
    QTest::newRow("pause after first data, within the stall window")
        << 500 << 4000 << pause << 1200 << int(QNetworkReply::NoError) << body.size() << 0 << 0;

    HttpTestServer::Fault steady;
    steady.bytesPerSecond = 3000;
    QTest::newRow("slow but steady, longer than the stall window")
        << 1000 << 800 << steady << 1500 << int(QNetworkReply::NoError) << 6000 << 0 << 0;
    QTest::newRow("steady, but a document past its deadline")
        << 1000 << 800 << steady << 1000 << int(QNetworkReply::OperationCanceledError) << -6000
        << 1500 << 0;
    HttpTestServer::Fault fast = steady;
    fast.bytesPerSecond = 2 << 20;
    QTest::newRow("a document past its deadline, each MiB buying more time")
        << 1000 << 800 << fast << 1000 << int(QNetworkReply::NoError) << (3 << 20) << 1000 << 0;
    // Qt queues them behind six connections: no dead server, while the others flow.
    QTest::newRow("queued behind seven slow transfers")
        << 500 << 4000 << steady << 1000 << int(QNetworkReply::NoError) << 6000 << 0 << 7;
    HttpTestServer::Fault trickle;
    trickle.trickleMs = 400;
    QTest::newRow("a byte in every stall window, fewer than 1 KiB")
        << 5000 << 1000 << trickle << 500 << int(QNetworkReply::OperationCanceledError) << -5 << 0
        << 0;
    HttpTestServer::Fault crawl;
    crawl.bytesPerSecond = 700;
    QTest::newRow("1 KiB in every stall window, below 1 KiB/s over it")
        << 1000 << 2000 << crawl << 1500 << int(QNetworkReply::OperationCanceledError) << -20000
        << 0 << 0;
    QTest::newRow("below 1 KiB/s, held back by the cap")
        << 1000 << 500 << HttpTestServer::Fault() << 1500 << 0 << (12 << 20) << -400 << 0;
    QTest::newRow("no first data beside a crawling transfer")
        << 500 << 60000 << crawl << 200 << int(QNetworkReply::OperationCanceledError) << -20000 << 0
        << -1;
}

void TestHttpClient::timeouts()
{
    QFETCH(int, firstDataMs);
    QFETCH(int, stallMs);
    QFETCH(HttpTestServer::Fault, fault);
    QFETCH(int, quietMs);
    QFETCH(int, error);
    QFETCH(int, bodySize);
    QFETCH(int, deadlineMs);
    QFETCH(int, others);

    server.setFile("/p/slow.bin", qAbs(bodySize) > body.size()
                                      ? bytePattern(qAbs(bodySize))
                                      : body.left(qMax(qAbs(bodySize), 1000)));
    HttpTestServer::Fault silent; // for this one, when the others take the fault
    silent.delayMs = 60000;
    server.setFault("/p/silent.bin", silent);
    server.setFault("/p/slow.bin", fault);
    int othersDone = 0;
    HttpClient client;
    client.firstDataTimeoutMs = firstDataMs;
    client.stallTimeoutMs = stallMs;
    client.documentDeadlineMs = qMax(deadlineMs, 0);
    client.maxBytesPerSecond = qMax(-deadlineMs, 0);

    for (int i = 0; i < qAbs(others); ++i)
        client.httpGet(
            server.url("/p/slow.bin"), HeaderMap(),
            [&](QNetworkReply* r) { othersDone += r->error() == QNetworkReply::NoError; },
            [](QNetworkReply* r) { r->readAll(); });
    int calls = 0;
    QNetworkReply::NetworkError seen = QNetworkReply::NoError;
    QByteArray received;
    client.httpGet(
        server.url(others < 0 ? "/p/silent.bin" : "/p/slow.bin"), HeaderMap(),
        [&](QNetworkReply* reply) {
            ++calls;
            seen = reply->error();
            received += reply->readAll();
        },
        deadlineMs > 0 ? ReplyCallback()
                       : [&](QNetworkReply* reply) { received += readBody(reply); });

    QVERIFY(client.currentReply);
    QSignalSpy finished(client.currentReply, &QNetworkReply::finished);
    QVERIFY(!finished.wait(quietMs));
    QCOMPARE(calls, 0);
    client.maxBytesPerSecond = 0;
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 15000);
    QCOMPARE(seen, QNetworkReply::NetworkError(error));
    QVERIFY(bodySize < 0 ? received.size() <= -bodySize : received.size() == bodySize);
    QCOMPARE(client.currentReply, static_cast<QNetworkReply*>(nullptr));

    QVERIFY(!finished.wait(300));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(calls, 1);
    QTRY_COMPARE(othersDone, qMax(others, 0));
    QCOMPARE(log->matching("^download timeout").size(), error ? 1 : 0);
    QCOMPARE(log->matching("^download Finish").size(), 1 + qMax(others, 0));
}

void TestHttpClient::fetchJsonResults_data()
{
    QTest::addColumn<HttpTestServer::Fault>("fault");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QJsonObject>("expected");

    HttpTestServer::Fault none;
    QTest::newRow("object") << none << QByteArray(R"({"Url":"http://x/","n":2})")
                            << QJsonObject{{"Url", "http://x/"}, {"n", 2}};
    QTest::newRow("not JSON") << none << QByteArray("<html>") << QJsonObject();
    QTest::newRow("array") << none << QByteArray("[1,2]") << QJsonObject();
    HttpTestServer::Fault error;
    error.status = 500;
    error.body = R"({"a":1})";
    QTest::newRow("server error") << error << QByteArray("{}") << QJsonObject();
}

void TestHttpClient::fetchJsonResults()
{
    QFETCH(HttpTestServer::Fault, fault);
    QFETCH(QByteArray, content);
    QFETCH(QJsonObject, expected);

    server.setFile("/p/j.json", content);
    server.setFault("/p/j.json", fault);
    HttpClient client;
    int calls = 0;
    QJsonObject result{{"untouched", true}};
    QThread* thread = nullptr;
    fetchJson(&client, server.url("/p/j.json"), [&](QJsonObject object) {
        ++calls;
        result = object;
        thread = QThread::currentThread();
    });
    QCOMPARE(calls, 0); // posted, not run inline
    QTRY_COMPARE(calls, 1);
    QCOMPARE(result, expected);
    QCOMPARE(thread, client.thread());
    QVERIFY(server.requests().value(0).query().startsWith("time="));
}

void TestHttpClient::fetchJsonFromAnotherThread()
{
    server.setFile("/p/j.json", "not json");
    HttpClient client;
    QAtomicInt calls = 0;
    QThread* callbackThread = nullptr;
    QThread* caller = QThread::create([&] {
        fetchJson(&client, server.url("/p/j.json"), [&](QJsonObject object) {
            QVERIFY(object.isEmpty());
            callbackThread = QThread::currentThread();
            ++calls;
        });
    });
    caller->start();
    QVERIFY(caller->wait(5000));
    QTRY_COMPARE(int(calls), 1);
    QCOMPARE(callbackThread, QThread::currentThread());
    QVERIFY(callbackThread != caller);
    delete caller;
}

void TestHttpClient::fetchJsonAfterClientIsGone()
{
    auto* client = new HttpClient;
    int calls = 0;
    fetchJson(client, server.url("/p/list.json"), [&calls](QJsonObject) { ++calls; });
    QSignalSpy received(&server, &HttpTestServer::requestReceived);
    delete client;
    QVERIFY(!received.wait(300));
    QCOMPARE(calls, 0);
    QVERIFY(server.requests().isEmpty());
}

QTEST_MAIN(TestHttpClient)
#include "tst_httpclient.moc"

// The in-process HTTP server that the other suites rely on.
#include "httptestserver.h"
#include "testfiles.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

Q_DECLARE_METATYPE(HttpTestServer::Fault)

namespace
{

struct Result {
    int status = 0;
    QByteArray body;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray contentRange;
    QByteArray location;
    bool finished = false;
    qint64 elapsedMs = 0;
};

Result get(QNetworkAccessManager& nam, const QString& url, const QByteArray& range = QByteArray(),
           int timeoutMs = 10000)
{
    QNetworkRequest request(url);
    if (!range.isEmpty())
        request.setRawHeader("Range", range);
    QElapsedTimer clock;
    clock.start();
    QNetworkReply* reply = nam.get(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    Result r;
    r.finished = finished.wait(timeoutMs);
    r.elapsedMs = clock.elapsed();
    r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    r.body = reply->readAll();
    r.error = reply->error();
    r.contentRange = reply->rawHeader("Content-Range");
    r.location = reply->rawHeader("Location");
    reply->abort();
    delete reply;
    return r;
}

// Raw exchange on a blocking socket: the calling thread cannot run events.
QByteArray rawExchange(quint16 port, const QByteArray& requestText)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return QByteArray();
    socket.write(requestText);
    QByteArray response;
    while (socket.waitForReadyRead(5000) || socket.bytesAvailable())
        response += socket.readAll();
    return response;
}

} // namespace

class TestHttpTestServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void replies_data();
    void replies();
    void delayedFirstByte();
    void stallKeepsConnectionOpen();
    void faultForLimitedTimes();
    void recordsRequestsWhileMainThreadBlocks();

private:
    QTemporaryDir dir;
    QByteArray small = bytePattern(1000);
    QByteArray big = bytePattern(300 * 1024);
};

void TestHttpTestServer::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath("sub"));
    QFile f(dir.filePath("sub/big.bin"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(big), qint64(big.size()));
}

void TestHttpTestServer::replies_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<HttpTestServer::Fault>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("contentRange");

    using F = HttpTestServer::Fault;
    const int ok = QNetworkReply::NoError;
    const int anyError = -1;
    F none;

    QTest::newRow("file, query ignored")
        << "/data.bin?time=12" << QByteArray() << none << 200 << small << ok << QByteArray();
    QTest::newRow("missing") << "/nothing" << QByteArray() << none << 404 << QByteArray("Not Found")
                             << int(QNetworkReply::ContentNotFoundError) << QByteArray();
    QTest::newRow("range open end") << "/data.bin" << QByteArray("bytes=990-") << none << 206
                                    << small.mid(990) << ok << QByteArray("bytes 990-999/1000");
    QTest::newRow("range closed") << "/data.bin" << QByteArray("bytes=10-19") << none << 206
                                  << small.mid(10, 10) << ok << QByteArray("bytes 10-19/1000");
    QTest::newRow("range past end")
        << "/data.bin" << QByteArray("bytes=1000-") << none << 416 << QByteArray()
        << int(QNetworkReply::UnknownContentError) << QByteArray("bytes */1000");
    QTest::newRow("directory, range")
        << "/sub/big.bin" << QByteArray("bytes=100000-") << none << 206 << big.mid(100000) << ok
        << QByteArray("bytes 100000-307199/307200");

    F ignore;
    ignore.ignoreRange = true;
    QTest::newRow("range ignored")
        << "/data.bin" << QByteArray("bytes=10-") << ignore << 200 << small << ok << QByteArray();

    F error;
    error.status = 500;
    error.body = "boom";
    QTest::newRow("status 500") << "/data.bin" << QByteArray() << error << 500 << QByteArray("boom")
                                << int(QNetworkReply::InternalServerError) << QByteArray();

    F drop;
    drop.dropAfterBytes = 100;
    // Qt may take the early close for the end of the body: either outcome.
    QTest::newRow("dropped") << "/sub/big.bin" << QByteArray() << drop << 200 << big.left(100)
                             << anyError << QByteArray();

    F slow;
    slow.bytesPerSecond = 20000;
    QTest::newRow("throttled") << "/sub/big.bin" << QByteArray("bytes=297200-") << slow << 206
                               << big.mid(297200) << ok << QByteArray("bytes 297200-307199/307200");

    F resumes;
    resumes.stallAfterBytes = 300;
    resumes.stallMs = 300;
    QTest::newRow("stall then resume")
        << "/data.bin" << QByteArray() << resumes << 200 << small << ok << QByteArray();
}

void TestHttpTestServer::replies()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, range);
    QFETCH(HttpTestServer::Fault, fault);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, error);
    QFETCH(QByteArray, contentRange);

    HttpTestServer server;
    QVERIFY(server.isListening());
    server.setFile("/data.bin", small);
    server.serveDirectory(dir.path());
    server.setGlobalFault(fault);

    QNetworkAccessManager nam;
    const Result r = get(nam, server.url(path), range);
    QVERIFY(r.finished);
    QCOMPARE(r.status, status);
    if (error >= 0)
        QCOMPARE(r.error, QNetworkReply::NetworkError(error));
    else
        QVERIFY(r.error == QNetworkReply::NoError ||
                r.error == QNetworkReply::RemoteHostClosedError);
    QCOMPARE(r.body.size(), body.size());
    QVERIFY(r.body == body);
    QCOMPARE(r.contentRange, contentRange);
    // The body took at least as long as the fault makes it: a stall that
    // the body reaches, the throttle beyond its first tenth of a second.
    qint64 minimumMs = fault.delayMs;
    if (fault.stallAfterBytes >= 0 && fault.stallAfterBytes < body.size())
        minimumMs += fault.stallMs;
    if (fault.bytesPerSecond > 0)
        minimumMs += (body.size() - fault.bytesPerSecond / 10) * 1000 / fault.bytesPerSecond;
    QVERIFY2(r.elapsedMs >= minimumMs, qPrintable(QString::number(r.elapsedMs)));
}

void TestHttpTestServer::delayedFirstByte()
{
    HttpTestServer server;
    server.setFile("/a", "abc");
    HttpTestServer::Fault redirect;
    redirect.delayMs = 800;
    redirect.status = 302;
    redirect.headers.append(
        qMakePair(QByteArray("Location"), QByteArray("http://127.0.0.1:1/elsewhere")));
    server.setFault("/a", redirect);

    QNetworkAccessManager nam;
    QNetworkReply* reply = nam.get(QNetworkRequest(QUrl(server.url("/a"))));
    QSignalSpy metaData(reply, &QNetworkReply::metaDataChanged);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(!metaData.wait(300));
    QVERIFY(finished.wait(5000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 302);
    QCOMPARE(reply->rawHeader("Location"), QByteArray("http://127.0.0.1:1/elsewhere"));
    delete reply;
}

void TestHttpTestServer::stallKeepsConnectionOpen()
{
    HttpTestServer server;
    server.setFile("/a", bytePattern(1000));
    HttpTestServer::Fault stall;
    stall.stallAfterBytes = 10;
    server.setFault("/a", stall);

    QNetworkAccessManager nam;
    QNetworkReply* reply = nam.get(QNetworkRequest(QUrl(server.url("/a"))));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QTRY_COMPARE(reply->bytesAvailable(), qint64(10));
    QVERIFY(!finished.wait(700));
    QCOMPARE(reply->bytesAvailable(), qint64(10));
    reply->abort();
    QCOMPARE(finished.count(), 1);
    delete reply;
}

void TestHttpTestServer::faultForLimitedTimes()
{
    HttpTestServer server;
    server.setFile("/a", "abc");
    HttpTestServer::Fault once;
    once.status = 503;
    once.times = 1;
    server.setFault("/a", once);

    QNetworkAccessManager nam;
    QCOMPARE(get(nam, server.url("/a")).status, 503);
    QCOMPARE(get(nam, server.url("/a")).status, 200);
    QCOMPARE(server.requests("/a").size(), 2);
}

// The main thread waits on a blocking socket; only a server on its own
// thread can answer.
void TestHttpTestServer::recordsRequestsWhileMainThreadBlocks()
{
    HttpTestServer server;
    server.setFile("/a", "hello");
    QSignalSpy received(&server, &HttpTestServer::requestReceived);

    const QByteArray response =
        rawExchange(server.port(),
                    "GET /a?time=5 HTTP/1.1\r\nHost: x\r\nRange: bytes=1-\r\nX-Case: Keep\r\n\r\n");
    QVERIFY2(response.startsWith("HTTP/1.1 206"), response.constData());
    QVERIFY(response.endsWith("\r\n\r\nello"));

    QTRY_COMPARE(received.count(), 1);
    const auto request = received.at(0).at(0).value<HttpTestServer::Request>();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, QByteArray("/a?time=5"));
    QCOMPARE(request.path(), QByteArray("/a"));
    QCOMPARE(request.query(), QByteArray("time=5"));
    QCOMPARE(request.header("range"), QByteArray("bytes=1-"));
    QCOMPARE(request.headers.at(2).first, QByteArray("X-Case"));
    QCOMPARE(server.requests().size(), 1);
    server.clearRequests();
    QVERIFY(server.requests().isEmpty());

    // No way out of the served folder.
    server.serveDirectory(dir.filePath("sub"));
    QVERIFY(rawExchange(server.port(), "GET /big.bin HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200"));
    QVERIFY(rawExchange(server.port(), "GET /../sub/big.bin HTTP/1.1\r\n\r\n")
                .startsWith("HTTP/1.1 404"));
}

QTEST_MAIN(TestHttpTestServer)
#include "tst_httptestserver.moc"

// Tracking reports: the exact query and signature as the endpoint receives
// them, the client id file, and reports made on other threads.
#include "httptestserver.h"
#include "logcollector.h"
#include "services/eventtracker.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdio>

namespace
{
const char* const salt = "Qd72hTRwpLmxva";
const QByteArray storedClientId = "test-client\n";

// Percent-encoding as the endpoint expects it: UTF-8 bytes, unreserved
// characters kept, everything else as %XX in upper case.
QByteArray encode(const QString& value)
{
    QByteArray out;
    for (unsigned char c : value.toUtf8()) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~')
            out += char(c);
        else
            out += QByteArray("%") + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
    }
    return out;
}

QByteArray queryValue(const QByteArray& query, const QByteArray& key)
{
    for (const QByteArray& pair : query.split('&')) {
        if (pair.startsWith(key + '='))
            return pair.mid(key.size() + 1);
    }
    return QByteArray();
}

} // namespace

class TestEventTracker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void firstReportFromWorkerThread();
    void exactQueryAndSignature_data();
    void exactQueryAndSignature();
    void clientIdFile_data();
    void clientIdFile();

private:
    HttpTestServer::Request nextRequest();
    QTemporaryDir workDir;
    QString oldDir;
    HttpTestServer server;
    QScopedPointer<LogCollector> log; // made once QtTest's own handler is in place
};

void TestEventTracker::initTestCase()
{
    QVERIFY(server.isListening());
    QVERIFY(workDir.isValid());
    oldDir = QDir::currentPath();
    QDir::setCurrent(workDir.path());
    QFile id("clientid.txt");
    QVERIFY(id.open(QIODevice::WriteOnly));
    id.write(storedClientId);
    id.close();
    log.reset(new LogCollector);
}

void TestEventTracker::cleanupTestCase()
{
    QDir::setCurrent(oldDir);
}

HttpTestServer::Request TestEventTracker::nextRequest()
{
    QSignalSpy spy(&server, &HttpTestServer::requestReceived);
    if (!spy.wait(10000))
        return HttpTestServer::Request();
    return spy.first().first().value<HttpTestServer::Request>();
}

// The tracker is first used on a worker thread: its report still goes out,
// from the GUI thread, without warnings about thread affinity.
void TestEventTracker::firstReportFromWorkerThread()
{
    QSignalSpy spy(&server, &HttpTestServer::requestReceived);
    QThread* worker = QThread::create([this] {
        EventTracker::instance()->url = server.url("/trackevent");
        EventTracker::instance()->trackEvent("update_error", "from worker", QString());
    });
    worker->start();
    QVERIFY(worker->wait(10000));
    delete worker;
    QVERIFY(spy.wait(10000));
    const auto request = spy.first().first().value<HttpTestServer::Request>();
    QCOMPARE(queryValue(request.query(), "val1"), QByteArray("from%20worker"));

    // The worker has ended; later reports, from here and from another
    // worker, still go out.
    EventTracker::instance()->trackEvent("update_error", "from gui", QString());
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 2, 10000);
    QThread* another = QThread::create(
        [] { EventTracker::instance()->trackEvent("update_error", "again", QString()); });
    another->start();
    QVERIFY(another->wait(10000));
    delete another;
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 3, 10000);
    QCOMPARE(queryValue(spy.at(1).first().value<HttpTestServer::Request>().query(), "val1"),
             QByteArray("from%20gui"));
    QVERIFY2(log->warnings().isEmpty(), qPrintable(log->warnings().join('\n')));
}

void TestEventTracker::exactQueryAndSignature_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("val1");
    QTest::addColumn<QString>("val2");
    QTest::newRow("empty values") << "start_luncher"
                                  << ""
                                  << "";
    QTest::newRow("delimiters") << "update_error"
                                << "a&b=c?d e"
                                << "x+y/z#%";
    QTest::newRow("chinese") << "update_error"
                             << "更新出错:下载失败"
                             << "~._-";
    QTest::newRow("address and rate") << "update_slow_download"
                                      << "http://127.0.0.1:1/StellmarClient/1006/a b.pak"
                                      << "10239";
}

void TestEventTracker::exactQueryAndSignature()
{
    QFETCH(QString, name);
    QFETCH(QString, val1);
    QFETCH(QString, val2);
    EventTracker* tracker = EventTracker::instance();
    tracker->url = server.url("/trackevent");
    tracker->channel = 5;
    QSignalSpy spy(&server, &HttpTestServer::requestReceived);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    tracker->trackEvent(name, val1, val2);
    QVERIFY(spy.wait(10000));
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    const auto request = spy.first().first().value<HttpTestServer::Request>();

    const QByteArray time = queryValue(request.query(), "time");
    QVERIFY(time.toLongLong() >= before && time.toLongLong() <= after);
    const QString platform = QSysInfo::prettyProductName();
    const QByteArray signSource =
        (QString("5") + QString::fromUtf8(storedClientId) + name + "Ethernet" + platform +
         QString::fromLatin1(time) + val1 + val2 + "QT_100" + salt)
            .toUtf8();
    const QByteArray expected =
        "/trackevent?channel=5&clientid=test-client%0A&name=" + encode(name) +
        "&network=Ethernet&platform=" + encode(platform) + "&time=" + time +
        "&val1=" + encode(val1) + "&val2=" + encode(val2) + "&version=QT_100&sign=" +
        QCryptographicHash::hash(signSource, QCryptographicHash::Md5).toHex();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, expected);
}

// The client id as a fresh process finds it, over two runs in one folder.
void TestEventTracker::clientIdFile_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("sameBothRuns");
    QTest::addColumn<QString>("expected"); // empty: a new braced UUID
    QTest::newRow("no file") << "none" << true << "";
    QTest::newRow("empty file") << "empty" << true << "";
    QTest::newRow("kept as stored") << "linebreak" << true << "abc\n";
    QTest::newRow("cannot be written") << "directory" << false << "";
}

void TestEventTracker::clientIdFile()
{
    QFETCH(QString, setup);
    QFETCH(bool, sameBothRuns);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString file = dir.filePath("clientid.txt");
    if (setup == "directory") {
        QVERIFY(QDir().mkdir(file));
    } else if (setup != "none") {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(setup == "linebreak" ? "abc\n" : "");
    }

    QStringList ids;
    for (int run = 0; run < 2; ++run) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--print-url", dir.path()});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitCode(), 0);
        const QByteArray url = child.readAllStandardOutput().trimmed();
        const QByteArray query = url.mid(url.indexOf('?') + 1);
        ids << QString::fromUtf8(QByteArray::fromPercentEncoding(queryValue(query, "clientid")));
    }
    if (expected.isEmpty()) {
        const QRegularExpression uuid("^\\{[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}\\}$");
        QVERIFY2(uuid.match(ids[0]).hasMatch(), qPrintable(ids[0]));
        QVERIFY2(uuid.match(ids[1]).hasMatch(), qPrintable(ids[1]));
    } else {
        QCOMPARE(ids[0], expected);
    }
    QCOMPARE(ids[0] == ids[1], sameBothRuns);
    if (setup != "directory") {
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(f.readAll()), ids[0]);
    }
}

// The child side of clientIdFile: a fresh tracker in the given folder.
static int printUrl(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QDir::setCurrent(QString::fromLocal8Bit(argv[2]));
    const QString url =
        EventTracker::instance()->buildUrl("start_luncher", QString(), QString(), 1);
    fputs(url.toUtf8().constData(), stdout);
    fputs("\n", stdout);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--print-url") == 0)
        return printUrl(argc, argv);
    QCoreApplication app(argc, argv);
    TestEventTracker test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_eventtracker.moc"

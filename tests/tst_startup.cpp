// The start-up network sequence of the window: launcher version file and
// remote update configuration, from the primary or the fallback server.
// ctest-lock: content-ports
//
// The content addresses are fixed at build time; PortForwarders on their
// ports put the test server behind them, and a missing forwarder stands for
// a server that is down.
#include "app/channel.h"
#include "app/mainwindow.h"
#include "engineprobe.h"
#include "httptestserver.h"
#include "modalwatcher.h"
#include "portforwarder.h"
#include "transfer/replyguard.h"
#include "update/patchmanager.h"

#include <QDateTime>
#include <QtTest>

namespace
{
quint16 portOf(const QString& base)
{
    return quint16(QUrl(base).port());
}
const QString configPath = "/" + channel::updateConfigName();
const QString versionPath =
    "/" + channel::launcherVersionUrl(false).mid(channel::contentBaseA().size());
} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void configAnswers_data();
    void configAnswers();
    void primaryDownUsesFallbackForBoth();
    void bothDownShowBoxesAndStop();
    void silentServersAreGivenUp_data();
    void silentServersAreGivenUp();
    void startGameUpdateFolders();

private:
    void forward(bool a, bool b);
    HttpTestServer* server = nullptr;
    PortForwarder* forwarderA = nullptr;
    PortForwarder* forwarderB = nullptr;
};

void TestStartup::initTestCase()
{
    // The version file says nothing newer, so the game update starts at once.
    QFile::remove(QCoreApplication::applicationDirPath() + "/setting.ini");
}

void TestStartup::init()
{
    server = new HttpTestServer(this);
    QVERIFY(server->isListening());
    server->setFile(versionPath, R"({"version": 0, "url": ""})");
}

void TestStartup::cleanup()
{
    MainWindow::requestFirstDataTimeoutMs = defaultFirstDataTimeoutMs;
    MainWindow::requestStallTimeoutMs = defaultStallTimeoutMs;
    delete forwarderA;
    delete forwarderB;
    forwarderA = forwarderB = nullptr;
    delete server;
    server = nullptr;
}

void TestStartup::forward(bool a, bool b)
{
    if (a) {
        forwarderA = new PortForwarder(portOf(channel::contentBaseA()), server->port());
        QVERIFY2(forwarderA->isListening(), "content port A is taken");
    }
    if (b) {
        forwarderB = new PortForwarder(portOf(channel::contentBaseB()), server->port());
        QVERIFY2(forwarderB->isListening(), "content port B is taken");
    }
}

void TestStartup::configAnswers_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("base");
    QTest::newRow("Url") << QByteArray(R"({"Url":"http://127.0.0.1:1/base","OriginalUrl":"x"})")
                         << QString() << "http://127.0.0.1:1/base";
    QTest::newRow("not JSON") << QByteArray("<html>") << "检查更新失败-2" << QString();
    QTest::newRow("syntax error") << QByteArray(R"({"Url":)") << "检查更新失败-2" << QString();
    QTest::newRow("array") << QByteArray("[1,2]") << "检查更新失败-3" << QString();
    QTest::newRow("empty object") << QByteArray("{}") << "检查更新失败-1" << QString();
    // Not an error here: the engine starts with an empty base and fails on its own.
    QTest::newRow("no Url") << QByteArray(R"({"OriginalUrl":"http://127.0.0.1:1/b"})") << QString()
                            << QString("");
}

void TestStartup::configAnswers()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, box);
    QFETCH(QString, base);
    server->setFile(configPath, body);
    forward(true, false);
    ModalWatcher boxes;
    QSignalSpy requests(server, &HttpTestServer::requestReceived);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    MainWindow window;
    QTRY_VERIFY_WITH_TIMEOUT(!server->requests(configPath).isEmpty(), 10000);
    const HttpTestServer::Request config = server->requests(configPath).first();
    // Every configuration request has a fresh address.
    QVERIFY(config.query().startsWith("time="));
    const qint64 stamp = config.query().mid(5).toLongLong();
    QVERIFY(stamp >= before && stamp <= QDateTime::currentSecsSinceEpoch());

    PatchManager* engine = window.patchManagerForTest();
    if (box.isEmpty()) {
        QTRY_COMPARE(engine->currentState() != 0, true);
        QCOMPARE(probe(*engine).baseUrl, base);
        QVERIFY(boxes.texts().isEmpty());
    } else {
        QTRY_COMPARE(boxes.texts(), QStringList{box});
        QCOMPARE(boxes.titles(), QStringList{"提示"});
        // After the box nothing follows: no engine, no fallback request.
        QVERIFY(!requests.wait(300));
        QCOMPARE(engine->currentState(), 0);
        QCOMPARE(server->requests(configPath).size(), 1);
    }
    QCOMPARE(server->requests(versionPath).size(), 1);
}

void TestStartup::primaryDownUsesFallbackForBoth()
{
    server->setFile(configPath,
                    R"({"Url":"http://127.0.0.1:1/wrong","OriginalUrl":"http://127.0.0.1:1/b"})");
    forward(false, true);
    ModalWatcher boxes;
    MainWindow window;
    PatchManager* engine = window.patchManagerForTest();
    QTRY_VERIFY_WITH_TIMEOUT(engine->currentState() != 0, 10000);
    QCOMPARE(probe(*engine).baseUrl, QString("http://127.0.0.1:1/b"));
    QCOMPARE(server->requests(versionPath).size(), 1);
    QCOMPARE(server->requests(configPath).size(), 1);
    QVERIFY(boxes.texts().isEmpty());
}

void TestStartup::bothDownShowBoxesAndStop()
{
    ModalWatcher boxes;
    MainWindow window;
    // The version file fails on both servers, the update goes on without the
    // self-update, and then the configuration fails on both too.
    QTRY_COMPARE_WITH_TIMEOUT(boxes.texts(), (QStringList{"检查更新失败-104", "检查更新失败-4"}),
                              10000);
    QCOMPARE(window.patchManagerForTest()->currentState(), 0);
}

// A server that accepts the connection and then says nothing (at all, or
// after its first bytes) counts as down: the next server is asked, and after
// the last one the failure's box is shown.
void TestStartup::silentServersAreGivenUp_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("servers"); // how many answer with silence: A, then B
    QTest::addColumn<bool>("firstBytes");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QString>("base"); // the engine's base; empty: not started
    const QString a = "http://127.0.0.1:1/a", b = "http://127.0.0.1:1/b";
    QTest::newRow("version file silent on A") << versionPath << 1 << false << QStringList() << a;
    QTest::newRow("version file stalls on both")
        << versionPath << 2 << true << QStringList{"检查更新失败-104"} << a;
    QTest::newRow("configuration silent on A") << configPath << 1 << false << QStringList() << b;
    QTest::newRow("configuration stalls on both")
        << configPath << 2 << true << QStringList{"检查更新失败-4"} << QString();
}

void TestStartup::silentServersAreGivenUp()
{
    QFETCH(QString, path);
    QFETCH(int, servers);
    QFETCH(bool, firstBytes);
    QFETCH(QStringList, boxes);
    QFETCH(QString, base);
    MainWindow::requestFirstDataTimeoutMs = 300;
    MainWindow::requestStallTimeoutMs = 300;
    server->setFile(configPath,
                    R"({"Url":"http://127.0.0.1:1/a","OriginalUrl":"http://127.0.0.1:1/b"})");
    HttpTestServer::Fault silent;
    if (firstBytes)
        silent.stallAfterBytes = 4;
    else
        silent.delayMs = 600000;
    silent.times = servers;
    server->setFault(path, silent);
    forward(true, true);

    ModalWatcher watcher;
    QSignalSpy requests(server, &HttpTestServer::requestReceived);
    MainWindow window;
    PatchManager* engine = window.patchManagerForTest();
    if (base.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(watcher.texts(), boxes, 10000);
    else
        QTRY_VERIFY_WITH_TIMEOUT(engine->currentState() != 0, 10000);
    QVERIFY(!requests.wait(300));
    QCOMPARE(watcher.texts(), boxes);
    QCOMPARE(probe(*engine).baseUrl, base);
    QCOMPARE(engine->currentState() != 0, !base.isEmpty());
    QCOMPARE(server->requests(path).size(), 2);
}

void TestStartup::startGameUpdateFolders()
{
    server->setFile(configPath, R"({"Url":"http://127.0.0.1:1/base"})");
    forward(true, false);
    ModalWatcher boxes;
    MainWindow window;
    PatchManager* engine = window.patchManagerForTest();
    QTRY_VERIFY_WITH_TIMEOUT(engine->currentState() != 0, 10000);
    const QString dir = QCoreApplication::applicationDirPath();
    QCOMPARE(probe(*engine).gameDir, dir + "/Drevna");
    QCOMPARE(probe(*engine).patchDir, dir + "/Patch");
    QCOMPARE(window.gameDirForTest(), dir + "/Drevna");
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"

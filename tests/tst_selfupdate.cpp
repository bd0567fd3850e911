// The launcher's self-update, driven through the real start-up sequence: the
// window asks the content server for the version file and the test serves it.
// ctest-lock: content-ports
//
// The content base addresses are fixed at build time (127.0.0.1:18600 and
// :18601 by default); a PortForwarder on the primary port puts the test
// server behind it. The game update starting shows as the request for the
// update configuration, which the server then leaves unanswered.
#include "app/channel.h"
#include "app/mainwindow.h"
#include "engineprobe.h"
#include "httptestserver.h"
#include "modalwatcher.h"
#include "portforwarder.h"
#include "privatehome.h"
#include "testfiles.h"
#include "update/patchmanager.h"

#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

namespace
{

const QString confirmText = QStringLiteral("发现新版本，确认安装吗？");

QString settingsPath()
{
    return QCoreApplication::applicationDirPath() + "/setting.ini";
}

QString setupPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) +
           "/Stm/REZ-setup.exe";
}

// -1: no setting.ini at all.
void writeLocalVersion(int version)
{
    QFile::remove(settingsPath());
    if (version >= 0)
        QSettings(settingsPath(), QSettings::IniFormat).setValue("version/version", version);
}

// Read from the file itself: QSettings would answer from its process-wide cache.
int localVersion()
{
    const QString text = QString::fromUtf8(readAll(settingsPath()));
    const QRegularExpressionMatch m = QRegularExpression("^\\[version\\]\\s*^version=(\\d+)$",
                                                         QRegularExpression::MultilineOption)
                                          .match(text);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

QByteArray versionFile(int version, const QString& url)
{
    return QStringLiteral("{\"version\": %1, \"url\": \"%2\"}").arg(version).arg(url).toUtf8();
}

// Text and informative text of each box, as one.
QStringList boxTexts(const ModalWatcher& watcher)
{
    QStringList texts;
    for (const ModalWatcher::Box& box : watcher.boxes())
        texts << box.text + box.informativeText;
    return texts;
}

} // namespace

class TestSelfUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void judgeVersionFile_data();
    void judgeVersionFile();
    void playerCancels_data();
    void playerCancels();
    void setupFailures_data();
    void setupFailures();
    void writeFailureEndsTheDownload_data();
    void writeFailureEndsTheDownload();
    void acceptedSetupRunsAndLauncherEnds();

private:
    QString versionPath() const { return QUrl(channel::launcherVersionUrl(false)).path(); }
    QString configPath() const { return "/" + channel::updateConfigName(); }
    int updateStarts() const { return server.requests(configPath()).size(); }
    // The update started exactly once and nothing followed.
    bool updateStartedOnce();

    HttpTestServer server;
    PortForwarder* contentA = nullptr;
    QScopedPointer<QSignalSpy> requestSpy;
};

bool TestSelfUpdate::updateStartedOnce()
{
    if (!QTest::qWaitFor([this] { return updateStarts() >= 1; }, 15000))
        return false;
    // Signals of requests already recorded may still be on their way.
    if (!QTest::qWaitFor([this] { return requestSpy->count() >= server.requests().size(); }))
        return false;
    return !requestSpy->wait(300) && updateStarts() == 1;
}

void TestSelfUpdate::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (run under xvfb-run)");
    QVERIFY(server.isListening());
    const quint16 port = quint16(QUrl(channel::contentBaseA()).port());
    contentA = new PortForwarder(port, server.port(), this);
    QVERIFY2(contentA->isListening(), "the primary content port is taken");
    QVERIFY(setupPath().startsWith(QDir::homePath()));
}

void TestSelfUpdate::init()
{
    server.clearRoutes();
    server.clearFaults();
    server.clearRequests();
    requestSpy.reset(new QSignalSpy(&server, &HttpTestServer::requestReceived));
    // The game update is left hanging at its first request.
    HttpTestServer::Fault silent;
    silent.delayMs = 600000;
    server.setFault(configPath(), silent);
    server.setFile("/setup/REZ-setup.exe", QByteArray(200000, 's'));
    writeLocalVersion(-1);
    QDir(QFileInfo(setupPath()).absolutePath()).removeRecursively();
}

void TestSelfUpdate::cleanupTestCase()
{
    QFile::remove(settingsPath());
}

void TestSelfUpdate::judgeVersionFile_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("local");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<bool>("leftoverDeleted");
    const QString url = server.url("/setup/REZ-setup.exe");
    QTest::newRow("equal") << versionFile(5, url) << 5 << QStringList() << true;
    QTest::newRow("local newer") << versionFile(5, url) << 6 << QStringList() << true;
    QTest::newRow("no version") << QByteArray("{\"url\": \"x\"}") << -1 << QStringList() << true;
    QTest::newRow("version as text")
        << QByteArray("{\"version\": \"9\"}") << -1 << QStringList() << true;
    QTest::newRow("not JSON") << QByteArray("<html>") << 1 << QStringList{"检查更新失败-102"}
                              << false;
    QTest::newRow("not an object")
        << QByteArray("[5]") << 1 << QStringList{"检查更新失败-103"} << false;
    QTest::newRow("empty object") << QByteArray(" {} ") << 1 << QStringList{"检查更新失败-101"}
                                  << false;
}

void TestSelfUpdate::judgeVersionFile()
{
    QFETCH(QByteArray, body);
    QFETCH(int, local);
    QFETCH(QStringList, boxes);
    QFETCH(bool, leftoverDeleted);
    server.setFile(versionPath(), body);
    writeLocalVersion(local);
    QVERIFY(writeAll(setupPath(), "from an earlier run"));

    ModalWatcher watcher;
    MainWindow window;
    QVERIFY(updateStartedOnce());
    QCOMPARE(boxTexts(watcher), boxes);
    for (const QString& title : watcher.titles())
        QCOMPARE(title, QStringLiteral("提示"));
    QVERIFY(server.requests("/setup/REZ-setup.exe").isEmpty());
    QCOMPARE(QFile::exists(setupPath()), !leftoverDeleted);
    QCOMPARE(localVersion(), local);
}

void TestSelfUpdate::playerCancels_data()
{
    QTest::addColumn<int>("local");
    QTest::newRow("no setting.ini") << -1;
    QTest::newRow("older launcher") << 4;
}

void TestSelfUpdate::playerCancels()
{
    QFETCH(int, local);
    // A backslash in the address (escaped for JSON) is requested as a slash.
    server.setFile(versionPath(), versionFile(5, server.url("/setup\\\\REZ-setup.exe")));
    writeLocalVersion(local);
    QVERIFY(writeAll(setupPath(), "an older setup program, longer than nothing"));

    ModalWatcher watcher;
    watcher.answerWith(QMessageBox::Cancel);
    MainWindow window;
    QVERIFY(updateStartedOnce());

    QCOMPARE(watcher.count(), 1);
    QCOMPARE(watcher.titles().first(), QStringLiteral("提示"));
    QCOMPARE(watcher.boxes().first().informativeText, confirmText);
    const auto downloads = server.requests("/setup/REZ-setup.exe");
    QCOMPARE(downloads.size(), 1);
    QCOMPARE(downloads.first().header("Range"), QByteArray("bytes=0-"));
    QVERIFY(downloads.first().query().startsWith("time="));
    // The download stays for the next run; the record is untouched.
    QCOMPARE(readAll(setupPath()), QByteArray(200000, 's'));
    QCOMPARE(localVersion(), local);
}

void TestSelfUpdate::setupFailures_data()
{
    QTest::addColumn<int>("local");
    QTest::addColumn<QStringList>("boxes");
    QTest::newRow("setup file cannot be created") << -1 << QStringList{"检查更新失败-107"};
    QTest::newRow("setup file gone before install")
        << 2 << QStringList{confirmText, "文件不存在-106"};
    // Recording 5 for a setup that never ran would skip this update for good.
    QTest::newRow("setup cannot start, old record kept") << 2 << QStringList{confirmText};
    QTest::newRow("silent server times out") << -1 << QStringList{"检查更新失败-108"};
    // The redirect leads nowhere: neither its own page nor the missing
    // target may be offered and run as the setup program.
    QTest::newRow("redirect is no setup program") << 2 << QStringList{"检查更新失败-108"};
    // Without a signed length the download still has a bound.
    QTest::newRow("endless answer is no setup program") << 2 << QStringList{"检查更新失败-108"};
}

void TestSelfUpdate::setupFailures()
{
    QFETCH(int, local);
    QFETCH(QStringList, boxes);
    const QByteArray tag = QTest::currentDataTag();
    server.setFile(versionPath(), versionFile(5, server.url("/setup/REZ-setup.exe")));
    writeLocalVersion(local);
    ModalWatcher watcher;
    HttpTestServer::Fault fault;
    if (tag.startsWith("setup file cannot"))
        QVERIFY(QDir().mkpath(setupPath() + "/in-the-way"));
    if (tag.startsWith("setup file gone"))
        watcher.onOpen = [](const ModalWatcher::Box& box) {
            if (box.informativeText == confirmText)
                QFile::remove(setupPath());
        };
    if (tag.startsWith("setup cannot start"))
        server.setFile("/setup/REZ-setup.exe", "#!/nonexistent/interpreter\n");
    if (tag.startsWith("silent"))
        fault.delayMs = 600000;
    if (tag.startsWith("redirect")) {
        fault.status = 302;
        fault.body = "<html>moved</html>";
        fault.headers << qMakePair(QByteArray("Location"), QByteArray("/elsewhere/REZ-setup.exe"));
    }
    fault.endless = tag.startsWith("endless");
    server.setFault("/setup/REZ-setup.exe", fault);

    MainWindow window;
    QVERIFY(updateStartedOnce());
    QCOMPARE(boxTexts(watcher), boxes);
    QCOMPARE(localVersion(), local);
    if (tag.startsWith("setup file cannot"))
        QVERIFY(server.requests("/setup/REZ-setup.exe").isEmpty());
    if (tag.startsWith("redirect") || tag.startsWith("endless"))
        QVERIFY(!QFile::exists(setupPath())); // no part of it is kept
}

void TestSelfUpdate::writeFailureEndsTheDownload_data()
{
    QTest::addColumn<bool>("boxStaysOpen");
    QTest::newRow("box answered at once") << false;
    // The rest of the body would arrive and the reply finish while the box
    // waits: the launcher must have dropped the transfer before it opened.
    QTest::newRow("transfer ends while the box is open") << true;
}

void TestSelfUpdate::writeFailureEndsTheDownload()
{
    QFETCH(bool, boxStaysOpen);
#ifndef Q_OS_LINUX
    QSKIP("the disk-full stand-in needs Linux resource limits");
#else
    server.setFile(versionPath(), versionFile(5, server.url("/setup/REZ-setup.exe")));
    server.setFile("/setup/REZ-setup.exe", QByteArray(4 << 20, 'w'));
    HttpTestServer::Fault slow;
    slow.bytesPerSecond = 8 << 20;
    server.setFault("/setup/REZ-setup.exe", slow);

    // Files of this process cannot grow past 64 KiB while the limit holds.
    rlimit previous{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = 65536;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);

    QSignalSpy ended(&server, &HttpTestServer::replyEnded);
    auto setupEnded = [&ended] {
        for (const QList<QVariant>& reply : qAsConst(ended))
            if (reply.at(0).toByteArray() == "/setup/REZ-setup.exe")
                return reply;
        return QList<QVariant>();
    };
    PatchManager* engine = nullptr;
    ModalWatcher watcher;
    watcher.onOpen = [&](const ModalWatcher::Box& box) {
        // The end is checked again below, with the box closed.
        if (boxStaysOpen && box.text == "检查更新失败-109" &&
            !QTest::qWaitFor(
                [&] {
                    return !setupEnded().isEmpty() && engine && !probe(*engine).http.currentReply;
                },
                10000))
            qWarning("the transfer was still going on when the box closed");
    };
    MainWindow window;
    engine = window.patchManagerForTest();
    const bool once = updateStartedOnce();
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(once);
    QCOMPARE(boxTexts(watcher), (QStringList{"检查更新失败-109", "检查更新失败-108"}));
    QVERIFY(QFileInfo(setupPath()).size() <= 65536);
    QTRY_VERIFY(!setupEnded().isEmpty());
    QVERIFY2(!setupEnded().at(2).toBool(), "the whole setup program was still sent");
#endif
}

// The launcher ends itself here, so it runs as a child copy of this program
// (see main below); the setup program it starts copies setting.ini to a
// marker, which shows that the new version was recorded before the start.
void TestSelfUpdate::acceptedSetupRunsAndLauncherEnds()
{
    QTemporaryDir work;
    const QString marker = work.filePath("marker.txt");
    server.setFile(versionPath(), versionFile(7, server.url("/setup/REZ-setup.exe")));
    server.setFile("/setup/REZ-setup.exe", QStringLiteral("#!/bin/sh\ncat '%1' > '%2.part' && "
                                                          "mv '%2.part' '%2'\n")
                                               .arg(settingsPath(), marker)
                                               .toUtf8());
    writeLocalVersion(6);

    QProcess launcher;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TST_SELFUPDATE_CHILD", work.path());
    launcher.setProcessEnvironment(env);
    launcher.setProcessChannelMode(QProcess::ForwardedChannels);
    qRegisterMetaType<QProcess::ExitStatus>();
    QSignalSpy ended(&launcher, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    launcher.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(launcher.waitForStarted());
    if (!ended.wait(30000)) {
        launcher.kill();
        launcher.waitForFinished();
        QFAIL("the launcher did not end");
    }
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 10000);
    QVERIFY2(readAll(marker).contains("version=7"), readAll(marker).constData());
    QCOMPARE(localVersion(), 7);
    QCOMPARE(updateStarts(), 0);
}

namespace
{
// The child: a launcher window whose boxes are answered with OK.
int runLauncherChild(int argc, char** argv, const QString& workDir)
{
    QApplication app(argc, argv);
    QDir::setCurrent(workDir);
    ModalWatcher watcher;
    MainWindow window;
    QTimer::singleShot(25000, [] { ::exit(3); });
    app.exec();
    return 2; // only a launcher that was not replaced gets here
}
} // namespace

int main(int argc, char** argv)
{
    const QString childDir = qEnvironmentVariable("TST_SELFUPDATE_CHILD");
    if (!childDir.isEmpty())
        return runLauncherChild(argc, argv, childDir);

    return runWithPrivateHome<TestSelfUpdate>(argc, argv);
}

#include "tst_selfupdate.moc"

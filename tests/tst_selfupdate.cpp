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
#include "httptestserver.h"
#include "portforwarder.h"
#include "testfiles.h"
#include "update/patchmanager.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPointer>
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

void putFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray versionFile(int version, const QString& url)
{
    return QStringLiteral("{\"version\": %1, \"url\": \"%2\"}").arg(version).arg(url).toUtf8();
}

// Answers every message box: a timer finds the active modal box, records it
// and presses the button that choose picks. Unlike ModalWatcher it lets the
// test act while a box is still open.
class BoxAnswerer : public QObject
{
public:
    struct Box {
        QString title;
        QString text;
        QString informativeText;
        QStringList buttons;
    };

    // Which button to press; Ok unless told otherwise.
    std::function<QMessageBox::StandardButton(const Box&)> choose;
    QList<Box> boxes;

    BoxAnswerer()
    {
        connect(&timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        timer.start(20);
    }

    QStringList texts() const
    {
        QStringList result;
        for (const Box& box : boxes)
            result << box.text + box.informativeText;
        return result;
    }

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box == answered)
            return;
        Box seen{box->windowTitle(), box->text(), box->informativeText(), {}};
        for (QAbstractButton* button : box->buttons())
            seen.buttons << button->text();
        boxes << seen;
        answered = box;
        const QMessageBox::StandardButton which = choose ? choose(seen) : QMessageBox::Ok;
        if (QAbstractButton* button = box->button(which))
            button->click();
        else
            box->reject();
    }

    QTimer timer;
    QPointer<QMessageBox> answered;
};

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
    void setupFileCannotBeCreated();
    void setupFileGoneBeforeInstall();
    void setupThatCannotStartKeepsTheOldRecord();
    void writeFailureEndsTheDownload_data();
    void writeFailureEndsTheDownload();
    void silentServerTimesOut();
    void redirectIsNoSetupProgram();
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
    putFile(setupPath(), "from an earlier run");

    BoxAnswerer answerer;
    MainWindow window;
    QVERIFY(updateStartedOnce());
    QCOMPARE(answerer.texts(), boxes);
    for (const auto& box : answerer.boxes)
        QCOMPARE(box.title, QStringLiteral("提示"));
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
    putFile(setupPath(), "an older setup program, longer than nothing");

    BoxAnswerer answerer;
    answerer.choose = [](const BoxAnswerer::Box&) { return QMessageBox::Cancel; };
    MainWindow window;
    QVERIFY(updateStartedOnce());

    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.first().title, QStringLiteral("提示"));
    QCOMPARE(answerer.boxes.first().informativeText, confirmText);
    const auto downloads = server.requests("/setup/REZ-setup.exe");
    QCOMPARE(downloads.size(), 1);
    QCOMPARE(downloads.first().header("Range"), QByteArray("bytes=0-"));
    QVERIFY(downloads.first().query().startsWith("time="));
    // The download stays for the next run; the record is untouched.
    QCOMPARE(readAll(setupPath()), QByteArray(200000, 's'));
    QCOMPARE(localVersion(), local);
}

void TestSelfUpdate::setupFileCannotBeCreated()
{
    server.setFile(versionPath(), versionFile(5, server.url("/setup/REZ-setup.exe")));
    QVERIFY(QDir().mkpath(setupPath() + "/in-the-way"));

    BoxAnswerer answerer;
    MainWindow window;
    QVERIFY(updateStartedOnce());
    QCOMPARE(answerer.texts(), QStringList{"检查更新失败-107"});
    QVERIFY(server.requests("/setup/REZ-setup.exe").isEmpty());
}

void TestSelfUpdate::setupFileGoneBeforeInstall()
{
    server.setFile(versionPath(), versionFile(5, server.url("/setup/REZ-setup.exe")));
    writeLocalVersion(2);

    BoxAnswerer answerer;
    answerer.choose = [](const BoxAnswerer::Box& box) {
        if (box.informativeText == confirmText)
            QFile::remove(setupPath());
        return QMessageBox::Ok;
    };
    MainWindow window;
    QVERIFY(updateStartedOnce());
    QCOMPARE(answerer.texts(), (QStringList{confirmText, "文件不存在-106"}));
    QCOMPARE(localVersion(), 2);
}

void TestSelfUpdate::setupThatCannotStartKeepsTheOldRecord()
{
    server.setFile(versionPath(), versionFile(5, server.url("/setup/REZ-setup.exe")));
    server.setFile("/setup/REZ-setup.exe", "#!/nonexistent/interpreter\n");
    writeLocalVersion(2);

    BoxAnswerer answerer;
    MainWindow window;
    QVERIFY(updateStartedOnce());
    QCOMPARE(answerer.texts(), QStringList{confirmText});
    // Recording 5 for a setup that never ran would skip this update for good.
    QCOMPARE(localVersion(), 2);
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
    BoxAnswerer answerer;
    answerer.choose = [&](const BoxAnswerer::Box& box) {
        // The end is checked again below, with the box closed.
        if (boxStaysOpen && box.text == "检查更新失败-109" &&
            !QTest::qWaitFor(
                [&] { return !setupEnded().isEmpty() && engine && !engine->http.currentReply; },
                10000))
            qWarning("the transfer was still going on when the box closed");
        return QMessageBox::Ok;
    };
    MainWindow window;
    engine = window.patchManagerForTest();
    const bool once = updateStartedOnce();
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(once);
    QCOMPARE(answerer.texts(), (QStringList{"检查更新失败-109", "检查更新失败-108"}));
    QVERIFY(QFileInfo(setupPath()).size() <= 65536);
    QTRY_VERIFY(!setupEnded().isEmpty());
    QVERIFY2(!setupEnded().at(2).toBool(), "the whole setup program was still sent");
#endif
}

void TestSelfUpdate::silentServerTimesOut()
{
    server.setFile(versionPath(), versionFile(5, server.url("/setup/REZ-setup.exe")));
    HttpTestServer::Fault silent;
    silent.delayMs = 600000;
    server.setFault("/setup/REZ-setup.exe", silent);

    BoxAnswerer answerer;
    MainWindow window;
    QVERIFY(updateStartedOnce());
    QCOMPARE(answerer.texts(), QStringList{"检查更新失败-108"});
}

// The helper follows no redirect: the redirect's own page must not be
// offered and run as the setup program.
void TestSelfUpdate::redirectIsNoSetupProgram()
{
    server.setFile(versionPath(), versionFile(5, server.url("/setup/REZ-setup.exe")));
    HttpTestServer::Fault moved;
    moved.status = 302;
    moved.body = "<html>moved</html>";
    moved.headers << qMakePair(QByteArray("Location"), QByteArray("/elsewhere/REZ-setup.exe"));
    server.setFault("/setup/REZ-setup.exe", moved);
    writeLocalVersion(2);

    BoxAnswerer answerer;
    MainWindow window;
    QVERIFY(updateStartedOnce());
    QCOMPARE(answerer.texts(), QStringList{"检查更新失败-108"});
    QCOMPARE(localVersion(), 2);
    QVERIFY(!QFile::exists(setupPath())); // no part of it is kept
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
    BoxAnswerer answerer;
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

    // Downloads, logs and the web profile go to a private home.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath("data")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath("cache")));
    QApplication app(argc, argv);
    QDir::setCurrent(home.path());
    TestSelfUpdate test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_selfupdate.moc"

// Starting the game and ending game processes by name, with real processes.
// Every suite that starts or ends processes named like the game shares a lock.
// ctest-lock: game-processes
// ctest-lock: content-ports
#include "app/mainwindow.h"
#include "base/platform.h"
#include "displayholder.h"
#include "httptestserver.h"
#include "modalwatcher.h"
#include "services/eventtracker.h"

#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace
{
// A stand-in for the game: a script that records its process id and then
// waits for ever without child processes of its own.
bool writeGameScript(const QString& path, bool executable)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write("#!/bin/sh\n"
            "echo $$ > \"$0.pid\"\n"
            "while :; do read line || sleep 1; done\n");
    f.close();
    QFile::Permissions p = QFile::ReadOwner | QFile::WriteOwner;
    if (executable)
        p |= QFile::ExeOwner;
    return f.setPermissions(p);
}

bool processRunning(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
}
} // namespace

class TestGameStart : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killProcessesByName_data();
    void killProcessesByName();
    void gameStartsAndLauncherEnds();
};

void TestGameStart::initTestCase()
{
#ifdef Q_OS_WIN
    QSKIP("runs shell scripts as the game");
#endif
    qRegisterMetaType<QProcess::ExitStatus>();
}

void TestGameStart::killProcessesByName_data()
{
    QTest::addColumn<QString>("running");     // the stand-in's file name
    QTest::addColumn<bool>("binary");         // a copy of sleep rather than the game script
    QTest::addColumn<QStringList>("command"); // "%f" is the file; empty: the file itself
    QTest::addColumn<QString>("killed");
    QTest::addColumn<bool>("ends");
    const QStringList itself;
    QTest::newRow("game") << "Drevna.exe" << false << itself << "Drevna.exe" << true;
    QTest::newRow("name longer than 15")
        << "Drevna-Win64-Shipping.exe" << false << itself << "Drevna-Win64-Shipping.exe" << true;
    QTest::newRow("longer name") << "Drevna.exe.old" << false << itself << "Drevna.exe" << false;
    QTest::newRow("prefixed name") << "MyDrevna.exe" << false << itself << "Drevna.exe" << false;
    QTest::newRow("empty name") << "Drevna.exe" << false << itself << "" << false;
    QTest::newRow("program named like the game")
        << "Drevna-Win64-Shipping.exe" << true << QStringList{"%f", "600"}
        << "Drevna-Win64-Shipping.exe" << true;
    QTest::newRow("script given to a shell")
        << "Drevna.exe" << false << QStringList{"sh", "-e", "%f"} << "Drevna.exe" << true;
    // Tools that merely name the game's file are no game.
    QTest::newRow("viewer of the game's file")
        << "Drevna.exe" << false << QStringList{"tail", "%f", "-f"} << "Drevna.exe" << false;
    QTest::newRow("shell naming it after its own command")
        << "Drevna.exe" << false << QStringList{"sh", "-c", "while :; do sleep 1; done", "%f"}
        << "Drevna.exe" << false;
    QTest::newRow("another user's game")
        << "Drevna.exe" << true
        << QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "%f", "600"}
        << "Drevna.exe" << false;
}

void TestGameStart::killProcessesByName()
{
    QFETCH(QString, running);
    QFETCH(bool, binary);
    QFETCH(QStringList, command);
    QFETCH(QString, killed);
    QFETCH(bool, ends);
    const bool otherUser = command.value(0) == "setpriv";
    if (otherUser && getuid() != 0)
        QSKIP("starting a process as another user needs root");
    QTemporaryDir dir;
    const QString program = dir.filePath(running);
    if (binary)
        QVERIFY(QFile::copy("/usr/bin/sleep", program));
    else
        QVERIFY(writeGameScript(program, true));
    // The other user must reach the program.
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ExeGroup |
                                                  QFile::ExeOther));
    command.replaceInStrings("%f", program);
    if (command.isEmpty())
        command << program;
    QProcess process;
    process.start(command.takeFirst(), command);
    QVERIFY(process.waitForStarted());
    // Until the final program runs: setpriv starts it in a second step.
    const QString exe = QStringLiteral("/proc/%1/exe").arg(process.processId());
    QTRY_VERIFY(!QFileInfo(exe).symLinkTarget().endsWith("/setpriv"));

    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    platform::killProcessesByName(killed);
    if (ends) {
        // Gone by the time the call returns.
        QVERIFY(!processRunning(process.processId()));
        QVERIFY(finished.wait(5000));
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    } else {
        QVERIFY(!finished.wait(300));
        process.kill();
        QVERIFY(process.waitForFinished(5000));
    }
}

// The launcher (this program in its launcher role) starts the game, which
// runs on after the launcher has ended itself two seconds later.
void TestGameStart::gameStartsAndLauncherEnds()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (run under xvfb-run)");
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("Drevna"));
    const QString game = dir.filePath("Drevna/Drevna.exe");
    // As a patch leaves it: without execute permission.
    QVERIFY(writeGameScript(game, false));
    HttpTestServer server;
    QVERIFY(server.isListening());

    QProcess launcher;
    launcher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    launcher.start(QCoreApplication::applicationFilePath(),
                   {"--launcher", dir.path(), server.url("/trackevent")});
    QVERIFY(launcher.waitForStarted());

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(game + ".pid"), 30000);
    QVERIFY(launcher.waitForFinished(30000));
    // The launcher waited before it ended: the game wrote its pid file just
    // after the launcher's two-second timer had started. Noticing the end
    // late only lengthens the span.
    QVERIFY(QFileInfo(game + ".pid").lastModified().msecsTo(QDateTime::currentDateTime()) >= 1000);
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);

    // ...and the game outlives it.
    QFile pidFile(game + ".pid");
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    const qint64 pid = pidFile.readAll().trimmed().toLongLong();
    QVERIFY(pid > 0);
    QVERIFY(processRunning(pid));
    QVERIFY(QFileInfo(game).permission(QFile::ExeOwner));

    bool reported = false;
    for (const auto& request : server.requests("/trackevent"))
        reported = reported || request.query().contains("&name=start_drevna&");
    QVERIFY(reported);

    platform::killProcessesByName("Drevna.exe");
    QVERIFY(!processRunning(pid));
}

// The launcher role: a window whose update has finished, the game folder
// given, the start button pressed at once.
static int runLauncher(int argc, char** argv)
{
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[2]);
    QDir::setCurrent(dir);
    EventTracker::instance()->url = QString::fromLocal8Bit(argv[3]);
    ModalWatcher watcher; // the start-up requests fail: close their boxes
    MainWindow window;
    window.setGameDirForTest(dir + "/Drevna");
    window.show();
    window.showUpdateFinished();
    QTimer::singleShot(0, &window,
                       [&window] { window.findChild<QPushButton*>("StartGameButton")->click(); });
    app.exec();
    return 3; // the launcher ends itself; returning here is a failure
}

int main(int argc, char** argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--launcher") == 0)
        return runLauncher(argc, argv);
    const auto app = applicationHoldingDisplay(argc, argv);
    TestGameStart test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_gamestart.moc"

// The single-instance lock across real launcher processes, which also reach
// the default content ports.
// ctest-lock: content-ports
// ctest-lock: launcher-instance
#include "displayholder.h"

#include <QSharedMemory>
#include <QtTest>

namespace
{
const QString launcherPath = QStringLiteral(DREVNA_BUILD_DIR "/src/launcher");
const QString lockKey = QStringLiteral("DVSTMApplicationKey");

bool lockHeld()
{
    QSharedMemory probe(lockKey);
    if (!probe.attach(QSharedMemory::ReadOnly))
        return false;
    probe.detach();
    return true;
}

// Window ids whose title matches name exactly.
QStringList windowsNamed(const QString& name)
{
    QProcess xdo;
    xdo.start("xdotool", {"search", "--name", "^" + name + "$"});
    xdo.waitForFinished(5000);
    return QString::fromLocal8Bit(xdo.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

// Waits until exactly count windows carry the title and returns them. A search
// that races a window being created or destroyed can miss windows, so the
// answer that met the wait is kept rather than asked for again.
QStringList waitForWindows(const QString& name, int count)
{
    QStringList found;
    const bool met = QTest::qWaitFor(
        [&] {
            found = windowsNamed(name);
            return found.size() == count;
        },
        20000);
    if (!met)
        qWarning() << found.size() << "windows named" << name << "where" << count << "were awaited";
    return found;
}

// Presses Return in a window. Focusing a window that is not yet viewable
// fails, and "--sync" would then wait for good: bounded, so callers retry.
bool pressReturn(const QString& window)
{
    QProcess xdo;
    xdo.start("xdotool", {"windowfocus", "--sync", window, "key", "Return"});
    if (xdo.waitForFinished(3000))
        return xdo.exitStatus() == QProcess::NormalExit && xdo.exitCode() == 0;
    xdo.kill();
    xdo.waitForFinished();
    return false;
}
} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void secondCopyIsRefusedAndKilledCopyReleasesTheLock();

private:
    void startLauncher(QProcess& p);
    QTemporaryDir dir;
};

void TestSingleInstance::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (run under xvfb-run)");
    QVERIFY(QFileInfo(launcherPath).isExecutable());
    // A launcher killed by an earlier suite leaves its segment behind; the
    // probe's own attach and detach frees it, so only a live one counts.
    lockHeld();
    QVERIFY2(!lockHeld(), "another launcher is running");
}

void TestSingleInstance::startLauncher(QProcess& p)
{
    p.setWorkingDirectory(dir.path());
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(launcherPath, QStringList());
    QVERIFY(p.waitForStarted());
}

void TestSingleInstance::secondCopyIsRefusedAndKilledCopyReleasesTheLock()
{
    QProcess first;
    startLauncher(first);
    QTRY_VERIFY_WITH_TIMEOUT(lockHeld(), 20000);
    QCOMPARE(waitForWindows("Drevna", 1).size(), 1);

    QProcess second;
    startLauncher(second);
    const QStringList boxes = waitForWindows("警告", 1);
    QCOMPARE(boxes.size(), 1);
    // The refused copy waits on its box and shows no window of its own.
    QCOMPARE(second.state(), QProcess::Running);
    QCOMPARE(waitForWindows("Drevna", 1).size(), 1);
    const QString box = boxes.first();
    QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning ||
                                 (pressReturn(box) && second.waitForFinished(1000)),
                             20000);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);

    // A killed launcher leaves its segment behind; the next start must not
    // mistake it for a running copy.
    first.kill();
    QVERIFY(first.waitForFinished(10000));
    QProcess third;
    startLauncher(third);
    QCOMPARE(waitForWindows("Drevna", 1).size(), 1);
    QVERIFY(windowsNamed("警告").isEmpty());
    QCOMPARE(third.state(), QProcess::Running);
    third.kill();
    QVERIFY(third.waitForFinished(10000));
    // Leave no stale segment for the next suite.
    QSharedMemory cleanupLock(lockKey);
    if (cleanupLock.attach())
        cleanupLock.detach();
}

TEST_MAIN_HOLDING_DISPLAY(TestSingleInstance)
#include "tst_singleinstance.moc"

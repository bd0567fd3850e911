// The launcher as a player gets it: the real program, started from a folder
// of its own, updating from the local content stack (nginx) that serves
// content made by the publisher from the sample game.
#include "displayholder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>
#include <QtTest>

#include "launcherharness.h"

using namespace harness;
using Verdict = LauncherRuns::Verdict;

namespace
{
const int Newest = 10006;
const int UpdateTimeout = 90000;
} // namespace

class E2E : public QObject
{
    Q_OBJECT

    LauncherRuns* runs = nullptr;
    bool launcherInstalls = true; // false once an install from nothing failed

    // A fresh copy of the published content, to be changed on purpose.
    QString contentCopy(const QString& name)
    {
        const QString dir = runs->work + QLatin1Char('/') + name;
        QDir(dir).removeRecursively();
        return copyTree(runs->content, dir) ? dir : QString();
    }

    void verifyInstalled(const QString& dir, int version)
    {
        const QString problem = runs->installProblem(dir, version);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    bool updateToEnd(const QString& dir, QProcess** launcher = nullptr)
    {
        const QString problem = runs->runLauncher(
            dir, {}, 100, UpdateTimeout,
            [&](QProcess*) { return runs->finished(dir) ? Verdict(QString()) : Verdict(); },
            [] { return QStringLiteral("no update_finish"); }, launcher);
        if (!problem.isEmpty())
            qWarning().noquote() << problem
                                 << "; launcher log:" << runs->launcherLog(dir).right(3000);
        return problem.isEmpty();
    }

    // Every report since offset is signed and ordered correctly, and these
    // events are among them.
    void verifyTracking(qint64 offset, const QString& events)
    {
        const QString slice = runs->work + QStringLiteral("/tracking-slice.log");
        QVERIFY(
            writeAll(slice, runs->stackLogSince(QStringLiteral("tracking.log"), offset).toUtf8()));
        QString output;
        QVERIFY2(runProgram(QStringLiteral(E2E_TRACKCHECK),
                            {QStringLiteral("--expect"), events, slice}, &output),
                 qPrintable(output));
    }

private slots:
    void initTestCase()
    {
        const QString need = LauncherRuns::unmetNeed({QStringLiteral("nginx")});
        if (!need.isEmpty())
            QSKIP(qPrintable(need));
        runs = new LauncherRuns(QStringLiteral(E2E_WORK), QStringLiteral(E2E_LAUNCHER),
                                QStringLiteral(E2E_STACK),
                                QStringLiteral(E2E_PORTS).split(QLatin1Char(',')), this);
        // A large file makes patching take long enough to be interrupted.
        // Signed with the key whose public half the launcher was built with.
        QVERIFY(runs->setUp(QStringLiteral(E2E_SAMPLEGAME), QStringLiteral(E2E_PUBLISH), 24,
                            QStringLiteral(E2E_SIGNKEY)));
        runs->holdDisplay();
    }

    void init()
    {
        // Every case needs a launcher that can install at all; without one,
        // fail at once instead of waiting out each case.
        if (!launcherInstalls)
            QFAIL("the launcher could not install the game from nothing");
    }

    void cleanup()
    {
        if (!runs)
            return;
        runs->killAllLaunchers();
        runs->stopStack();
    }

    void cleanupTestCase()
    {
        delete runs;
        runs = nullptr;
    }

    void update_data()
    {
        QTest::addColumn<int>("installed");
        QTest::addColumn<bool>("primaryDown");
        QTest::addColumn<QString>("expectedRequest");
        QTest::newRow("install from nothing") << 0 << false << QStringLiteral("/10006_full/");
        QTest::newRow("along the chain") << 10004 << false << QStringLiteral("/10004_10005/");
        QTest::newRow("primary down, fallback") << 10005 << true << QStringLiteral("/10005_10006/");
    }

    void update()
    {
        QFETCH(int, installed);
        QFETCH(bool, primaryDown);
        QFETCH(QString, expectedRequest);
        QVERIFY(runs->startStack(runs->content, primaryDown
                                                    ? QStringList{QStringLiteral("--without-a")}
                                                    : QStringList()));
        const QString servedBy =
            primaryDown ? QStringLiteral("content-b.log") : QStringLiteral("content-a.log");
        const qint64 offset = runs->stackLogSize(servedBy);
        const qint64 reports = runs->stackLogSize(QStringLiteral("tracking.log"));
        const QString dir =
            runs->newRunFolder(QString::fromLatin1(QTest::currentDataTag()), installed);
        QVERIFY(!dir.isEmpty());
        const bool updated = updateToEnd(dir);
        if (!updated && installed == 0)
            launcherInstalls = false;
        QVERIFY(updated);
        verifyInstalled(dir, Newest);
        verifyTracking(reports, QStringLiteral("start_luncher,update_start,update_patch_start,"
                                               "update_patch_end,update_finish"));
        const QString served = runs->stackLogSince(servedBy, offset);
        QVERIFY2(served.contains(QStringLiteral("/Stm/patch/patchlist.json")), qPrintable(served));
        QVERIFY2(served.contains(expectedRequest), qPrintable(served));
        // Patches made by the publisher apply without the whole-file fallback.
        QVERIFY2(!served.contains(QStringLiteral("_full/patchfiles.json")) || installed == 0,
                 qPrintable(served));
    }

    void killDuringDownload()
    {
        // nginx sends a second's worth at a time: at this rate a file stays
        // partial on disk long enough to be caught.
        QVERIFY(
            runs->startStack(runs->content, {QStringLiteral("--rate"), QStringLiteral("512k")}));
        const QString dir = runs->newRunFolder(QStringLiteral("kill-download"), 0);
        QProcess* p = runs->startLauncher(dir);
        const QString patch = dir + QStringLiteral("/Patch");
        auto partial = [&patch]() {
            for (const QString& rel : filesBelow(patch)) {
                if (!rel.endsWith(QLatin1String("/patchfiles.json")))
                    continue;
                const QString step = patch + QLatin1Char('/') + QFileInfo(rel).path();
                const QJsonArray files = readJson(patch + QLatin1Char('/') + rel)
                                             .value(QStringLiteral("filelist"))
                                             .toArray();
                for (const QJsonValue v : files) {
                    QString name = v.toObject().value(QStringLiteral("name")).toString();
                    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
                    const qint64 size = QFileInfo(step + QLatin1Char('/') + name).size();
                    if (size > 0 &&
                        size < qint64(v.toObject().value(QStringLiteral("size")).toDouble()))
                        return true;
                }
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(partial(), UpdateTimeout);
        runs->killLauncher(p);

        QVERIFY(runs->startStack(runs->content));
        const qint64 offset = runs->stackLogSize(QStringLiteral("content-a.log"));
        QVERIFY(updateToEnd(dir));
        verifyInstalled(dir, Newest);
        // The interrupted file went on from where it stopped.
        static const QRegularExpression resumed(QStringLiteral("\"bytes=[1-9][0-9]*-\""));
        const QString served = runs->stackLogSince(QStringLiteral("content-a.log"), offset);
        QVERIFY2(served.contains(resumed), qPrintable(served));
    }

    void killDuringPatching()
    {
        QVERIFY(runs->startStack(runs->content));
        const QString dir = runs->newRunFolder(QStringLiteral("kill-patching"), 10004);
        const QString localFile = dir + QStringLiteral("/Drevna/localversion.json");
        auto patching = [&localFile]() {
            return readJson(localFile).value(QStringLiteral("start_apply_patch")).toBool();
        };
        // Polled closely: the kill must land while patching.
        const QString problem = runs->runLauncher(
            dir, {}, 2, UpdateTimeout,
            [&](QProcess*) { return patching() ? Verdict(QString()) : Verdict(); },
            [] { return QStringLiteral("timed out"); });
        QVERIFY2(problem.isEmpty(), qPrintable("patch application never started: " + problem));
        QVERIFY2(patching(), "the launcher had finished patching before it was killed");

        QVERIFY(updateToEnd(dir));
        verifyInstalled(dir, Newest);
    }

    void corruptPatchHealed()
    {
        // A patch on the server that passes its download check but cannot
        // be applied: the launcher must fetch the whole file from "_full".
        const QString corrupt = contentCopy(QStringLiteral("content-corrupt"));
        QVERIFY(!corrupt.isEmpty());
        const QString file = corrupt + QStringLiteral("/10005_10006/Data/world.pak.patch");
        QVERIFY(replaceListedFile(corrupt, QStringLiteral("10005_10006"),
                                  QStringLiteral("Data\\world.pak.patch"),
                                  readAll(file).left(68) + QByteArray(4096, 'Z')));
        QVERIFY(runs->resign(corrupt, QStringLiteral("10005_10006/patchfiles.json")));

        QVERIFY(runs->startStack(corrupt));
        const qint64 offset = runs->stackLogSize(QStringLiteral("content-a.log"));
        const QString dir = runs->newRunFolder(QStringLiteral("corrupt-patch"), 10005);
        QVERIFY(updateToEnd(dir));
        verifyInstalled(dir, Newest);
        const QString served = runs->stackLogSince(QStringLiteral("content-a.log"), offset);
        QVERIFY2(served.contains(QStringLiteral("/10005_10006_full/Data/world.pak.patch")),
                 qPrintable(served));
    }

    // A patch list changed after it was signed: nothing is installed, and
    // the launcher says why.
    void tamperedListRefused()
    {
        const QString tampered = contentCopy(QStringLiteral("content-tampered"));
        QVERIFY(!tampered.isEmpty());
        const QString listPath = tampered + QStringLiteral("/patchlist.json");
        QByteArray list = readAll(listPath);
        list.replace("\"version\": 10006", "\"version\": 10007");
        QVERIFY(writeAll(listPath, list));

        QVERIFY(runs->startStack(tampered));
        const QString dir = runs->newRunFolder(QStringLiteral("tampered-list"), 10005);
        const QByteArray before = readAll(dir + QStringLiteral("/Drevna/localversion.json"));
        runs->startLauncher(dir);
        QTRY_VERIFY_WITH_TIMEOUT(
            runs->launcherLog(dir).contains(QStringLiteral("signature invalid: ")), 30000);
        QVERIFY(runs->launcherLog(dir).contains(QStringLiteral("/Stm/patch/patchlist.json")));
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/Patch/patchchain.json")));
        QCOMPARE(readAll(dir + QStringLiteral("/Drevna/localversion.json")), before);
    }

    void startButton()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("xdotool is missing: run scripts/setup");
        QVERIFY(runs->startStack(runs->content));
        const qint64 offset = runs->stackLogSize(QStringLiteral("content-a.log"));
        const qint64 reports = runs->stackLogSize(QStringLiteral("tracking.log"));
        const QString dir = runs->newRunFolder(QStringLiteral("start-button"), Newest);
        QProcess* p = nullptr;
        QVERIFY(updateToEnd(dir, &p));
        verifyInstalled(dir, Newest);
        // A current game: the patch list is read, nothing else is fetched.
        const QString served = runs->stackLogSince(QStringLiteral("content-a.log"), offset);
        QVERIFY2(served.contains(QStringLiteral("/Stm/patch/patchlist.json")), qPrintable(served));
        QVERIFY2(!served.contains(QStringLiteral("patchfiles.json")), qPrintable(served));

        QString window;
        QTRY_VERIFY_WITH_TIMEOUT(!(window = LauncherRuns::visibleWindow(p, true)).isEmpty(), 20000);
        // A point of the start-game button beside its caption image. A click
        // that lands while the window still settles (the browser engine
        // starts after the first paint) can be lost: it is repeated until the
        // game runs.
        const QString gameLog = dir + QStringLiteral("/drevna-game.log");
        auto gameRuns = [&] { return readAll(gameLog).contains("started"); };
        QElapsedTimer t;
        for (int click = 0; click < 10; ++click) {
            QVERIFY(runProgram(QStringLiteral("xdotool"),
                               {QStringLiteral("mousemove"), QStringLiteral("--window"), window,
                                QStringLiteral("1063"), QStringLiteral("654"),
                                QStringLiteral("click"), QStringLiteral("1")}));
            t.start();
            if (QTest::qWaitFor(gameRuns, 1000))
                break;
        }
        QVERIFY2(gameRuns(), "no click reached the start-game button");
        QVERIFY2(p->waitForFinished(20000), "the launcher did not end after the game start");
        QVERIFY2(t.elapsed() >= 1500, "the launcher ended before its two seconds");
        QCOMPARE(p->exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(readAll(gameLog).contains("Drevna 100.0.6 started"), 10000);
        verifyTracking(reports, QStringLiteral("start_luncher,update_finish,start_drevna"));
    }

    // A newer launcher announced: its setup program is fetched from the
    // stack, confirmed, recorded in setting.ini and started.
    void selfUpdate()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("xdotool is missing: run scripts/setup");
        QVERIFY(runs->startStack(runs->content,
                                 {QStringLiteral("--launcher-version"), QStringLiteral("7")}));
        const QString dir = runs->newRunFolder(QStringLiteral("self-update"), Newest);
        // The download folder lies below HOME; keep it inside the run folder.
        const QString home = dir + QStringLiteral("/home");
        QVERIFY(QDir().mkpath(home + QStringLiteral("/Downloads")));
        QProcess* p = runs->startLauncher(dir, home);
        // The confirmation box is the launcher's other visible window.
        QString box;
        // The box asks only once the setup program is complete on disk.
        const QString setup = home + QStringLiteral("/Downloads/Stm/REZ-setup.exe");
        QTRY_VERIFY_WITH_TIMEOUT(readAll(setup).contains("Drevna launcher setup, version 7"),
                                 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!(box = LauncherRuns::visibleWindow(p, false)).isEmpty(), 30000);
        QVERIFY(runProgram(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), box}));
        QVERIFY(runProgram(QStringLiteral("xdotool"),
                           {QStringLiteral("key"), QStringLiteral("Return")}));
        QVERIFY2(p->waitForFinished(20000), "the launcher did not end for its setup program");
        QCOMPARE(p->exitCode(), 0);
        QVERIFY(readAll(dir + QStringLiteral("/setting.ini")).contains("version=7"));
        QTRY_VERIFY_WITH_TIMEOUT(
            readAll(dir + QStringLiteral("/drevna-setup.log")).contains("version 7"), 10000);
    }
};

TEST_MAIN_HOLDING_DISPLAY(E2E)
#include "tst_e2e.moc"

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

namespace
{

const int Newest = 10006;
const int UpdateTimeout = 90000;

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QJsonObject readJson(const QString& path)
{
    return QJsonDocument::fromJson(readAll(path)).object();
}

QStringList filesBelow(const QString& dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(dir).relativeFilePath(it.next()));
    files.sort();
    return files;
}

bool copyTree(const QString& from, const QString& to)
{
    for (const QString& rel : filesBelow(from)) {
        QDir().mkpath(QFileInfo(to + QLatin1Char('/') + rel).absolutePath());
        if (!QFile::copy(from + QLatin1Char('/') + rel, to + QLatin1Char('/') + rel))
            return false;
    }
    return true;
}

} // namespace

class E2E : public QObject
{
    Q_OBJECT

    QString work;
    QString versions;
    QString content;
    QString stackRun;
    QStringList ports;
    QList<QProcess*> launchers;
    bool stackUp = false;
    bool launcherInstalls = true; // false once an install from nothing failed

    // Runs a program to its end; its output is kept for failure messages.
    bool run(const QString& program, const QStringList& args, QString* output = nullptr,
             bool quiet = false, int timeout = 120000)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        const bool ended = p.waitForFinished(timeout);
        const QString text = QString::fromLocal8Bit(p.readAll());
        if (output)
            *output = text;
        if (!ended || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            if (!quiet)
                qWarning().noquote() << program << args.join(QLatin1Char(' ')) << "failed:" << text;
            return false;
        }
        return true;
    }

    bool startStack(const QString& contentDir, const QStringList& extra = {})
    {
        stopStack();
        QStringList args{QStringLiteral(E2E_STACK),     QStringLiteral("start"),
                         QStringLiteral("--run"),       stackRun,
                         QStringLiteral("--content"),   contentDir,
                         QStringLiteral("--ports"),     ports.join(QLatin1Char(',')),
                         QStringLiteral("--sign"),      QStringLiteral(E2E_SIGNKEY),
                         QStringLiteral("--publisher"), QStringLiteral(E2E_PUBLISH)};
        args += extra;
        stackUp = run(QStringLiteral("bash"), args);
        return stackUp;
    }

    void stopStack()
    {
        run(QStringLiteral("bash"),
            {QStringLiteral(E2E_STACK), QStringLiteral("stop"), QStringLiteral("--run"), stackRun});
        stackUp = false;
    }

    qint64 logSize(const QString& name) const
    {
        return QFileInfo(stackRun + QLatin1Char('/') + name).size();
    }

    QString logSince(const QString& name, qint64 offset) const
    {
        return QString::fromUtf8(readAll(stackRun + QLatin1Char('/') + name).mid(int(offset)));
    }

    // A visible window of the launcher process: its main window (1112 x 696
    // pixels) or, with mainWindow false, any other one such as a box. Empty
    // until it is up.
    QString visibleWindow(QProcess* p, bool mainWindow)
    {
        QString ids;
        run(QStringLiteral("xdotool"),
            {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
             QString::number(p->processId())},
            &ids, true);
        for (const QString& id : ids.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            QString geometry;
            run(QStringLiteral("xdotool"), {QStringLiteral("getwindowgeometry"), id}, &geometry);
            if (geometry.contains(QStringLiteral("1112x696")) == mainWindow)
                return id.trimmed();
        }
        return QString();
    }

    // A folder with the launcher in it, as a player unpacks it; optionally
    // with a game version already installed beside it.
    QString newRunFolder(const QString& name, int installed)
    {
        QString folder = name;
        folder.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]+")), QStringLiteral("-"));
        const QString dir = work + QStringLiteral("/runs/") + folder;
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
        if (!QFile::copy(QStringLiteral(E2E_LAUNCHER), dir + QStringLiteral("/launcher")))
            return QString();
        // As new as the launcher the version file announces: no self-update.
        writeAll(dir + QStringLiteral("/setting.ini"), "[version]\nversion=1\n");
        if (installed > 0) {
            const QString game = dir + QStringLiteral("/Drevna");
            if (!copyTree(versions + QLatin1Char('/') + QString::number(installed), game))
                return QString();
            QJsonObject local;
            local.insert(QStringLiteral("version"), installed);
            local.insert(QStringLiteral("start_apply_patch"), false);
            writeAll(game + QStringLiteral("/localversion.json"), QJsonDocument(local).toJson());
        }
        return dir;
    }

    // A fresh copy of the published content, to be changed on purpose.
    QString contentCopy(const QString& name)
    {
        const QString dir = work + QLatin1Char('/') + name;
        QDir(dir).removeRecursively();
        return copyTree(content, dir) ? dir : QString();
    }

    QProcess* startLauncher(const QString& dir, const QString& home = QString())
    {
        auto* p = new QProcess(this);
        p->setWorkingDirectory(dir);
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->setStandardOutputFile(dir + QStringLiteral("/launcher.out"), QIODevice::Append);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
        if (!env.contains(QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS")))
            env.insert(QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS"),
                       QStringLiteral("--disable-gpu"));
        if (!home.isEmpty()) {
            env.insert(QStringLiteral("HOME"), home);
            env.remove(QStringLiteral("XDG_DOWNLOAD_DIR"));
            env.remove(QStringLiteral("XDG_CONFIG_HOME"));
        }
        p->setProcessEnvironment(env);
        p->start(dir + QStringLiteral("/launcher"), QStringList());
        p->waitForStarted(10000);
        launchers.append(p);
        return p;
    }

    void killLauncher(QProcess* p)
    {
        if (p->state() != QProcess::NotRunning) {
            p->kill(); // SIGKILL: nothing of the launcher runs after this
            p->waitForFinished(10000);
        }
    }

    // The tracking endpoint has seen "update_finish" from this folder's
    // launcher: the update is complete and the start button enabled.
    bool finished(const QString& dir) const
    {
        const QByteArray id = readAll(dir + QStringLiteral("/clientid.txt"));
        if (id.isEmpty())
            return false;
        const QString needle = QStringLiteral("clientid=") +
                               QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(id))) +
                               QStringLiteral("&name=update_finish&");
        return logSince(QStringLiteral("tracking.log"), 0).contains(needle);
    }

    QString launcherLog(const QString& dir) const
    {
        return QString::fromUtf8(readAll(dir + QStringLiteral("/log.txt")));
    }

    // The game folder holds exactly the newest version, byte for byte, plus
    // the local version file; nothing temporary is left anywhere.
    void verifyInstalled(const QString& dir, int version)
    {
        const QString game = dir + QStringLiteral("/Drevna");
        const QJsonObject local = readJson(game + QStringLiteral("/localversion.json"));
        QCOMPARE(local.value(QStringLiteral("version")).toInt(), version);
        QCOMPARE(local.value(QStringLiteral("start_apply_patch")).toBool(), false);
        const QString source = versions + QLatin1Char('/') + QString::number(version);
        QStringList expected = filesBelow(source);
        expected.append(QStringLiteral("localversion.json"));
        expected.sort();
        QCOMPARE(filesBelow(game), expected);
        for (const QString& rel : filesBelow(source)) {
            const bool same =
                readAll(game + QLatin1Char('/') + rel) == readAll(source + QLatin1Char('/') + rel);
            QVERIFY2(same, qPrintable(rel + QStringLiteral(" differs")));
        }
        QVERIFY2(!QFileInfo::exists(dir + QStringLiteral("/Patch")), "patch folder left behind");
        for (const QString& rel : filesBelow(dir))
            QVERIFY2(!rel.endsWith(QLatin1String("_bak")) && !rel.endsWith(QLatin1String("_full")),
                     qPrintable(rel + QStringLiteral(" left behind")));
    }

    bool updateToEnd(const QString& dir, QProcess** launcher = nullptr)
    {
        QProcess* p = startLauncher(dir);
        QElapsedTimer t;
        t.start();
        while (!finished(dir) && t.elapsed() < UpdateTimeout && p->state() != QProcess::NotRunning)
            QTest::qWait(100);
        if (!finished(dir)) {
            qWarning().noquote() << "launcher log:" << launcherLog(dir).right(3000);
            killLauncher(p);
            return false;
        }
        if (launcher)
            *launcher = p;
        else
            killLauncher(p);
        return true;
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X display (scripts/test runs the suite under Xvfb)");
        if (QStandardPaths::findExecutable(QStringLiteral("nginx")).isEmpty() &&
            !QFileInfo::exists(QStringLiteral("/usr/sbin/nginx")))
            QSKIP("nginx is missing: run scripts/setup");
        work = QStringLiteral(E2E_WORK);
        stackRun = work + QStringLiteral("/stack");
        ports = QStringLiteral(E2E_PORTS).split(QLatin1Char(','));
        stopStack(); // left over from an interrupted run
        QDir(work).removeRecursively();
        QVERIFY(QDir().mkpath(work));
        versions = work + QStringLiteral("/versions");
        content = work + QStringLiteral("/content");
        // A large file makes patching take long enough to be interrupted.
        QVERIFY(run(QStringLiteral(E2E_SAMPLEGAME),
                    {QStringLiteral("--large-mb"), QStringLiteral("24"), versions}));
        QString summary;
        // Signed with the key whose public half the launcher was built with.
        QVERIFY(run(QStringLiteral(E2E_PUBLISH),
                    {QStringLiteral("--sign"), QStringLiteral(E2E_SIGNKEY), versions, content},
                    &summary));
        qDebug().noquote() << summary;
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
        for (QProcess* p : qAsConst(launchers))
            killLauncher(p);
        qDeleteAll(launchers);
        launchers.clear();
        if (stackUp)
            stopStack();
    }

    void cleanupTestCase()
    {
        if (!stackRun.isEmpty())
            stopStack();
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
        QVERIFY(startStack(content, primaryDown ? QStringList{QStringLiteral("--without-a")}
                                                : QStringList()));
        const QString servedBy =
            primaryDown ? QStringLiteral("content-b.log") : QStringLiteral("content-a.log");
        const qint64 offset = logSize(servedBy);
        const QString dir = newRunFolder(QString::fromLatin1(QTest::currentDataTag()), installed);
        QVERIFY(!dir.isEmpty());
        const bool updated = updateToEnd(dir);
        if (!updated && installed == 0)
            launcherInstalls = false;
        QVERIFY(updated);
        verifyInstalled(dir, Newest);
        const QString served = logSince(servedBy, offset);
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
        QVERIFY(startStack(content, {QStringLiteral("--rate"), QStringLiteral("512k")}));
        const QString dir = newRunFolder(QStringLiteral("kill-download"), 0);
        QProcess* p = startLauncher(dir);
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
        killLauncher(p);

        QVERIFY(startStack(content));
        const qint64 offset = logSize(QStringLiteral("content-a.log"));
        QVERIFY(updateToEnd(dir));
        verifyInstalled(dir, Newest);
        // The interrupted file went on from where it stopped.
        static const QRegularExpression resumed(QStringLiteral("\"bytes=[1-9][0-9]*-\""));
        const QString served = logSince(QStringLiteral("content-a.log"), offset);
        QVERIFY2(served.contains(resumed), qPrintable(served));
    }

    void killDuringPatching()
    {
        QVERIFY(startStack(content));
        const QString dir = newRunFolder(QStringLiteral("kill-patching"), 10004);
        const QString localFile = dir + QStringLiteral("/Drevna/localversion.json");
        QProcess* p = startLauncher(dir);
        auto patching = [&localFile]() {
            return readJson(localFile).value(QStringLiteral("start_apply_patch")).toBool();
        };
        QElapsedTimer t;
        t.start();
        while (!patching() && t.elapsed() < UpdateTimeout && p->state() == QProcess::Running)
            QTest::qWait(2); // polled closely: the kill must land while patching
        QVERIFY2(patching(), "patch application never started");
        killLauncher(p);
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
        const QString listPath = corrupt + QStringLiteral("/10005_10006/patchfiles.json");
        QJsonObject list = readJson(listPath);
        QJsonArray files = list.value(QStringLiteral("filelist")).toArray();
        bool changed = false;
        for (int i = 0; i < files.size(); ++i) {
            QJsonObject e = files.at(i).toObject();
            if (e.value(QStringLiteral("name")).toString() !=
                QLatin1String("Data\\world.pak.patch"))
                continue;
            QCOMPARE(e.value(QStringLiteral("type")).toString(), QStringLiteral("diff"));
            const QString file = corrupt + QStringLiteral("/10005_10006/Data/world.pak.patch");
            QByteArray bytes = readAll(file).left(68) + QByteArray(4096, 'Z');
            QVERIFY(writeAll(file, bytes));
            e.insert(QStringLiteral("size"), bytes.size());
            e.insert(QStringLiteral("md5"),
                     QString::fromLatin1(
                         QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex()));
            files[i] = e;
            changed = true;
        }
        QVERIFY(changed);
        list.insert(QStringLiteral("filelist"), files);
        QVERIFY(writeAll(listPath, QJsonDocument(list).toJson()));
        QVERIFY(run(QStringLiteral(E2E_PUBLISH),
                    {QStringLiteral("sign"), QStringLiteral(E2E_SIGNKEY), listPath}));

        QVERIFY(startStack(corrupt));
        const qint64 offset = logSize(QStringLiteral("content-a.log"));
        const QString dir = newRunFolder(QStringLiteral("corrupt-patch"), 10005);
        QVERIFY(updateToEnd(dir));
        verifyInstalled(dir, Newest);
        const QString served = logSince(QStringLiteral("content-a.log"), offset);
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

        QVERIFY(startStack(tampered));
        const QString dir = newRunFolder(QStringLiteral("tampered-list"), 10005);
        const QByteArray before = readAll(dir + QStringLiteral("/Drevna/localversion.json"));
        startLauncher(dir);
        QTRY_VERIFY_WITH_TIMEOUT(launcherLog(dir).contains(QStringLiteral("signature invalid: ")),
                                 30000);
        QVERIFY(launcherLog(dir).contains(QStringLiteral("/Stm/patch/patchlist.json")));
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/Patch/patchchain.json")));
        QCOMPARE(readAll(dir + QStringLiteral("/Drevna/localversion.json")), before);
    }

    void startButton()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("xdotool is missing: run scripts/setup");
        QVERIFY(startStack(content));
        const qint64 offset = logSize(QStringLiteral("content-a.log"));
        const QString dir = newRunFolder(QStringLiteral("start-button"), Newest);
        QProcess* p = nullptr;
        QVERIFY(updateToEnd(dir, &p));
        verifyInstalled(dir, Newest);
        // A current game: the patch list is read, nothing else is fetched.
        const QString served = logSince(QStringLiteral("content-a.log"), offset);
        QVERIFY2(served.contains(QStringLiteral("/Stm/patch/patchlist.json")), qPrintable(served));
        QVERIFY2(!served.contains(QStringLiteral("patchfiles.json")), qPrintable(served));

        QString window;
        QTRY_VERIFY_WITH_TIMEOUT(!(window = visibleWindow(p, true)).isEmpty(), 20000);
        // A point of the start-game button beside its caption image.
        QVERIFY(
            run(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QStringLiteral("--window"),
                                            window, QStringLiteral("1063"), QStringLiteral("654"),
                                            QStringLiteral("click"), QStringLiteral("1")}));
        QElapsedTimer t;
        t.start();
        QVERIFY2(p->waitForFinished(20000), "the launcher did not end after the game start");
        QVERIFY2(t.elapsed() >= 1500, "the launcher ended before its two seconds");
        QCOMPARE(p->exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(
            readAll(dir + QStringLiteral("/drevna-game.log")).contains("Drevna 100.0.6 started"),
            10000);
    }

    // A newer launcher announced: its setup program is fetched from the
    // stack, confirmed, recorded in setting.ini and started.
    void selfUpdate()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("xdotool is missing: run scripts/setup");
        QVERIFY(startStack(content, {QStringLiteral("--launcher-version"), QStringLiteral("7")}));
        const QString dir = newRunFolder(QStringLiteral("self-update"), Newest);
        // The download folder lies below HOME; keep it inside the run folder.
        const QString home = dir + QStringLiteral("/home");
        QVERIFY(QDir().mkpath(home + QStringLiteral("/Downloads")));
        QProcess* p = startLauncher(dir, home);
        // The confirmation box is the launcher's other visible window.
        QString box;
        // The box asks only once the setup program is complete on disk.
        const QString setup = home + QStringLiteral("/Downloads/Stm/REZ-setup.exe");
        QTRY_VERIFY_WITH_TIMEOUT(readAll(setup).contains("Drevna launcher setup, version 7"),
                                 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!(box = visibleWindow(p, false)).isEmpty(), 30000);
        QVERIFY(run(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), box}));
        QVERIFY(run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Return")}));
        QVERIFY2(p->waitForFinished(20000), "the launcher did not end for its setup program");
        QCOMPARE(p->exitCode(), 0);
        QVERIFY(readAll(dir + QStringLiteral("/setting.ini")).contains("version=7"));
        QTRY_VERIFY_WITH_TIMEOUT(
            readAll(dir + QStringLiteral("/drevna-setup.log")).contains("version 7"), 10000);
    }

    // Every report of all runs above is signed and ordered correctly, and
    // together they hold every milestone (so it needs the whole suite run).
    void trackingLog()
    {
        QString output;
        const bool ok = run(QStringLiteral(E2E_TRACKCHECK),
                            {QStringLiteral("--expect"),
                             QStringLiteral("start_luncher,update_start,update_patch_start,"
                                            "update_patch_end,update_finish,start_drevna"),
                             stackRun + QStringLiteral("/tracking.log")},
                            &output);
        QVERIFY2(ok, qPrintable(output));
    }
};

TEST_MAIN_HOLDING_DISPLAY(E2E)
#include "tst_e2e.moc"

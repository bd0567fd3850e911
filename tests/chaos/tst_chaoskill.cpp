// The real launcher killed (SIGKILL) at many points of whole updates, from
// nothing and along the chain, and restarted until it reports the update
// finished: every end must be the newest game, byte for byte, with nothing
// temporary left. A point is where the launcher is seen to be, from its log
// lines and the files it makes, not a time.
// ctest-lock: launcher-instance;chaos-stack;game-processes
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include "launcherharness.h"

using namespace harness;

namespace
{

const int Newest = 10006;
const int PhaseTimeoutMs = 120000;

// Waits for the conditions of one kill point, one after the other:
//   log:TEXT      the launcher's log since its start holds TEXT
//   log2:TEXT     ... holds it twice
//   file:PATH     PATH (below the run folder) exists
//   gone:PATH     PATH existed while watched and is gone now
//   partial:PATH  a download at PATH has grown while watched and is still
//                 shorter than listed
//   local:K=V     localversion.json's K is V (JSON text)
//   files:N       localversion.json and its journal list at least N written files
//   pause         the player has paused the downloads (pause clicks and tells)
class PointWatch
{
public:
    PointWatch(const QString& dir, const QString& content, const QStringList& conditions)
        : dir(dir), content(content), conditions(conditions), log(dir + QStringLiteral("/log.txt"))
    {
        logOffset = QFileInfo(log.fileName()).size();
    }

    // True once every condition has been met in order.
    bool reached()
    {
        readLog();
        while (next < conditions.size() && met(conditions.at(next))) {
            ++next;
            seen = false;
        }
        return next == conditions.size();
    }

    QString pending() const { return conditions.value(next); }
    std::function<bool()> pause;

    // The last condition, met before the kill, still holds after it: the
    // launcher was killed at the point, not after it.
    bool stillHolds()
    {
        readLog();
        seen = true;
        return met(conditions.last());
    }

private:
    void readLog()
    {
        if (!log.isOpen() && !log.open(QIODevice::ReadOnly))
            return;
        if (log.pos() < logOffset)
            log.seek(logOffset);
        text += QString::fromUtf8(log.readAll());
    }

    bool met(const QString& condition)
    {
        const int colon = condition.indexOf(QLatin1Char(':'));
        const QString kind = condition.left(colon);
        const QString arg = condition.mid(colon + 1);
        const QString path = dir + QLatin1Char('/') + arg;
        if (kind == QLatin1String("log"))
            return text.contains(arg);
        if (kind == QLatin1String("pause"))
            return pause();
        if (kind == QLatin1String("log2"))
            return text.count(arg) >= 2;
        if (kind == QLatin1String("file"))
            return QFileInfo::exists(path);
        if (kind == QLatin1String("gone")) {
            const bool exists = QFileInfo::exists(path);
            seen = seen || exists;
            return seen && !exists;
        }
        if (kind == QLatin1String("partial")) {
            // What an earlier launcher left there is no sign of this one.
            const qint64 size = QFileInfo(path).size();
            if (!seen) {
                seen = true;
                baseline = size;
            }
            return size > baseline && size < listedSize(arg);
        }
        const QJsonObject local = readJson(dir + QStringLiteral("/Drevna/localversion.json"));
        if (kind == QLatin1String("files")) {
            QFile journal(dir + QStringLiteral("/Drevna/localversion.json.journal"));
            const int journaled =
                journal.open(QIODevice::ReadOnly) ? journal.readAll().count('\n') : 0;
            return local.value(QStringLiteral("filelist")).toObject().size() + journaled >=
                   arg.toInt();
        }
        const QString key = arg.section(QLatin1Char('='), 0, 0);
        const QString value = arg.section(QLatin1Char('='), 1);
        const QJsonValue v = local.value(key);
        return local.contains(key) && (v.isBool() ? QLatin1String(v.toBool() ? "true" : "false")
                                                  : QString::number(v.toInt())) == value;
    }

    // "Patch/STEP/NAME" or "Patch/STEP/NAME_full": the size its list gives.
    qint64 listedSize(const QString& rel) const
    {
        QString name = rel.section(QLatin1Char('/'), 2);
        QString step = rel.section(QLatin1Char('/'), 1, 1);
        if (name.endsWith(QLatin1String("_full"))) {
            name.chop(5);
            step += QLatin1String("_full");
        }
        name.replace(QLatin1Char('/'), QLatin1Char('\\'));
        const QJsonArray files =
            readJson(content + QLatin1Char('/') + step + QStringLiteral("/patchfiles.json"))
                .value(QStringLiteral("filelist"))
                .toArray();
        for (const QJsonValue v : files) {
            if (v.toObject().value(QStringLiteral("name")).toString() == name)
                return qint64(v.toObject().value(QStringLiteral("size")).toDouble());
        }
        return 0;
    }

    QString dir;
    QString content;
    QStringList conditions;
    QFile log;
    qint64 logOffset = 0;
    QString text;
    int next = 0;
    bool seen = false;
    qint64 baseline = 0;
};

} // namespace

class ChaosKill : public QObject
{
    Q_OBJECT

    LauncherRuns* runs = nullptr;
    QString corruptContent;
    bool fullMatrix = false;
    int pointsRun = 0;
    int pointsOk = 0;

    // One launcher until the point is reached (then killed) or, with no
    // conditions, until it reports the update finished. Empty on success,
    // else what went wrong.
    QString runUntil(const QString& dir, const QString& content, const QStringList& conditions)
    {
        PointWatch watch(dir, content, conditions);
        QProcess* launcher = nullptr;
        // As a player pauses: the gear button, then its menu's middle entry.
        watch.pause = [&] {
            const QString window = LauncherRuns::visibleWindow(launcher, true);
            const auto click = [&](const char* at) {
                runProgram("xdotool",
                           QString("mousemove --window %1 %2 click 1").arg(window, at).split(' '),
                           nullptr, true);
            };
            click("860 639");
            if (QTest::qWaitFor(
                    [&] { return !LauncherRuns::visibleWindow(launcher, false).isEmpty(); }, 2000))
                click("893 552");
            return QTest::qWaitFor(
                [&] { return runs->launcherLog(dir).contains("eventName: update_pause"); }, 2000);
        };
        // A "repair:" row runs --repair on a damaged newest game, to "repair_end".
        const bool repair = QString::fromUtf8(QTest::currentDataTag()).startsWith("repair:");
        int poll = 0;
        const auto verdict = [&](QProcess* p) -> LauncherRuns::Verdict {
            launcher = p;
            if (!conditions.isEmpty() && watch.reached())
                return QString();
            // The tracking log is read less often than the launcher's traces.
            if (poll++ % 50 != 0 || !runs->finished(dir, repair ? "repair_end" : "update_finish"))
                return {};
            return conditions.isEmpty() ? QString()
                                        : QStringLiteral("finished before ") + watch.pending();
        };
        const auto overdue = [&] {
            return conditions.isEmpty()
                       ? QStringLiteral("no ") + (repair ? "repair_end" : "update_finish")
                       : QStringLiteral("never reached ") + watch.pending();
        };
        // Polled closely: some points last a few milliseconds.
        QString problem =
            runs->runLauncher(dir, dir + QStringLiteral("/home"), 1, PhaseTimeoutMs, verdict,
                              overdue, nullptr, repair ? QStringList{"--repair"} : QStringList());
        if (problem.isEmpty() && !conditions.isEmpty() && !watch.stillHolds())
            problem = QStringLiteral("killed only after ") + conditions.last();
        return problem;
    }

private slots:
    void initTestCase()
    {
        const QString need = LauncherRuns::unmetNeed({QStringLiteral("nginx")});
        if (!need.isEmpty())
            QSKIP(qPrintable(need));
        fullMatrix = qEnvironmentVariableIntValue("DREVNA_CHAOS_FULL") != 0;
        runs = new LauncherRuns(QStringLiteral(CHAOS_WORK), QStringLiteral(CHAOS_LAUNCHER),
                                QStringLiteral(CHAOS_STACK),
                                QStringLiteral(CHAOS_PORTS).split(QLatin1Char(',')), this);
        QVERIFY(runs->setUp(QStringLiteral(CHAOS_SAMPLEGAME), QStringLiteral(CHAOS_PUBLISH), 24));
        runs->holdDisplay();
        // A delta that passes its download check but cannot be applied, so
        // that the whole-file fallback runs and can be interrupted too.
        corruptContent = runs->work + QStringLiteral("/content-corrupt");
        QVERIFY(copyTree(runs->content, corruptContent));
        const QString step = QStringLiteral("10005_10006");
        const QByteArray delta = readAll(corruptContent + QLatin1Char('/') + step +
                                         QStringLiteral("/Data/terrain.pak.patch"));
        QVERIFY(replaceListedFile(corruptContent, step, QStringLiteral("Data\\terrain.pak.patch"),
                                  delta.left(68) + QByteArray(4096, 'Z')));
    }

    void cleanup()
    {
        runs->killAllLaunchers();
        runs->stopStack();
    }

    void cleanupTestCase()
    {
        if (pointsRun > 0)
            qInfo().noquote() << QStringLiteral("kill matrix: %1/%2 points ended with the newest "
                                                "game")
                                     .arg(pointsOk)
                                     .arg(pointsRun);
        delete runs;
        runs = nullptr;
    }

    void killPoint_data()
    {
        QTest::addColumn<int>("installed");
        QTest::addColumn<QString>("rate");      // nginx's limit while the kills happen
        QTest::addColumn<bool>("corrupt");      // the 10005->10006 terrain delta is corrupt
        QTest::addColumn<QStringList>("kills"); // one point per kill, conditions joined by " > "
        QTest::addColumn<bool>("quick");        // part of the subset that scripts/test runs

        const QString fast = QStringLiteral("4m");
        const QString slow = QStringLiteral("512k");
        auto row = [](const char* name, int installed, const QString& rate,
                      const QStringList& kills, bool quick = false, bool corrupt = false) {
            QTest::newRow(name) << installed << rate << corrupt << kills << quick;
        };

        // From nothing: the full package.
        row("full: patch list requested", 0, fast, {"log:/patchlist.json?time="});
        row("full: patch list read", 0, fast, {"log:onUpdateRemotePatchConfig:"}, true);
        row("full: file list requested", 0, fast, {"log:10006_full/patchfiles.json?time="});
        row("full: file list stored", 0, fast, {"file:Patch/10006_full/patchfiles.json"});
        row("full: downloads begin", 0, fast, {"log:finish get patch file list"});
        row("full: terrain.pak half down", 0, fast,
            {"partial:Patch/10006_full/Data/terrain.pak.patch"}, true);
        row("full: world.pak half down", 0, fast,
            {"partial:Patch/10006_full/Data/world.pak.patch"});
        row("full: textures.pak half down", 0, fast,
            {"partial:Patch/10006_full/Data/textures.pak.patch"});
        // 1 MiB each: at the fast rate they may arrive in one piece.
        row("full: map01.dat half down", 0, slow,
            {"partial:Patch/10006_full/Data/Maps/map01.dat.patch"});
        row("full: audio.pak half down", 0, slow,
            {"partial:Patch/10006_full/Data/audio.pak.patch"});
        row("full: all downloaded", 0, fast, {"log:finish download all patch file list"});
        row("full: patching recorded", 0, fast, {"local:start_apply_patch=true"});
        row("full: terrain.pak moved in", 0, fast, {"gone:Patch/10006_full/Data/terrain.pak.patch"},
            true);
        row("full: world.pak moved in", 0, fast, {"gone:Patch/10006_full/Data/world.pak.patch"});
        // Five lines in the journal, none yet in the record.
        row("full: five files recorded", 0, fast, {"files:5"});
        row("chain: files journaled, not yet in the record", 10004, slow,
            {"log:apply patch: 10005", "files:2"}, true);
        row("full: finished version saved", 0, fast, {"local:version=10006"});
        row("full: cleanup", 0, fast, {"log:switch state 5 to 6"});
        row("full: second check", 0, fast, {"log:switch state 7 to 1"});
        row("full: second patch list request", 0, fast, {"log2:/patchlist.json?time="});

        // From the oldest version: two steps with diff, add and del.
        row("chain: patch list requested", 10004, slow, {"log:/patchlist.json?time="});
        row("chain: chain found", 10004, slow, {"log:patch chain:"});
        row("chain: first file list requested", 10004, slow,
            {"log:10004_10005/patchfiles.json?time="});
        row("chain: second file list requested", 10004, slow,
            {"log:10005_10006/patchfiles.json?time="});
        row("chain: map02.dat half down", 10004, slow,
            {"partial:Patch/10004_10005/Data/Maps/map02.dat.patch"});
        row("chain: audio.pak half down", 10004, slow,
            {"partial:Patch/10005_10006/Data/audio.pak.patch"}, true);
        row("chain: patching recorded", 10004, slow, {"local:start_apply_patch=true"});
        // A chain that an earlier, finished run left (its cleanup killed) is
        // never resumed as this update's.
        row("leftover chain: patching recorded", 10005, slow, {"local:start_apply_patch=true"});
        row("chain: terrain.pak decoding, first step", 10004, slow,
            {"log:apply patch: 10005 > file:Drevna/Data/terrain.pak_bak.part"});
        row("chain: terrain.pak decoding, second step", 10004, slow,
            {"log:apply patch: 10006 > file:Drevna/Data/terrain.pak_bak.part"}, true);
        row("chain: terrain.pak replaced", 10004, slow,
            {"log:apply patch: 10006 > gone:Drevna/Data/terrain.pak_bak.part"});
        row("chain: world.pak replaced", 10004, slow,
            {"log:apply patch: 10005 > gone:Drevna/Data/world.pak_bak.part"});
        row("chain: map02.dat moved in", 10004, slow,
            {"gone:Patch/10004_10005/Data/Maps/map02.dat.patch"});
        row("chain: between the steps", 10004, slow, {"log:apply patch: 10006"});
        row("chain: legacy.dat deleted", 10004, slow, {"gone:Drevna/Data/legacy.dat"});
        row("chain: audio.pak moved in", 10004, slow,
            {"gone:Patch/10005_10006/Data/audio.pak.patch"});
        row("chain: finished version saved", 10004, slow, {"local:version=10006"});
        row("chain: second check", 10004, slow, {"log:switch state 7 to 1"}, true);

        // The whole-file fallback after a delta that cannot be applied.
        row("fallback: list of whole files requested", 10005, fast,
            {"log:10005_10006_full/patchfiles.json?time="}, false, true);
        row("fallback: whole terrain.pak half down", 10005, fast,
            {"partial:Patch/10005_10006/Data/terrain.pak.patch_full"}, true, true);
        row("fallback: whole terrain.pak moved in", 10005, fast,
            {"gone:Patch/10005_10006/Data/terrain.pak.patch_full"}, false, true);

        // A repair of terrain.pak (changed) and world.pak (gone): hashing, fetching, installing.
        const QString repairing = QStringLiteral("log:switch state 2 to 9");
        row("repair: verifying", Newest, fast, {repairing});
        row("repair: terrain.pak half down", Newest, fast,
            {repairing + " > partial:Patch/10006_full/Data/terrain.pak.patch"});
        row("repair: terrain.pak moved in", Newest, fast,
            {repairing + " > gone:Patch/10006_full/Data/terrain.pak.patch"}, true);

        // Paused by the player, then killed: while files download, and while
        // the patch thread waits before its next file.
        row("full: paused while terrain.pak downloads", 0, slow,
            {"partial:Patch/10006_full/Data/terrain.pak.patch > pause"}, true);
        row("fallback: paused while whole terrain.pak downloads", 10005, fast,
            {"partial:Patch/10005_10006/Data/terrain.pak.patch_full > pause > "
             "log:apply patch: held before"},
            true, true);

        // Several kills in one update.
        row("full: terrain.pak killed twice, then while moving in", 0, fast,
            {"partial:Patch/10006_full/Data/terrain.pak.patch",
             "partial:Patch/10006_full/Data/terrain.pak.patch",
             "gone:Patch/10006_full/Data/world.pak.patch"},
            true);
        row("chain: download, decode and second check", 10004, slow,
            {"partial:Patch/10005_10006/Data/audio.pak.patch",
             "log:apply patch: 10006 > file:Drevna/Data/terrain.pak_bak.part",
             "log:switch state 7 to 1"});
    }

    void killPoint()
    {
        QFETCH(int, installed);
        QFETCH(QString, rate);
        QFETCH(bool, corrupt);
        QFETCH(QStringList, kills);
        QFETCH(bool, quick);
        if (!quick && !fullMatrix)
            QSKIP("full matrix only (scripts/chaos)");

        const QString name = QString::fromUtf8(QTest::currentDataTag());
        const QString content = corrupt ? corruptContent : runs->content;
        const QString dir = runs->newRunFolder(name, installed);
        QVERIFY(!dir.isEmpty());
        if (name.startsWith("leftover chain:"))
            QVERIFY(writeAll(dir + QStringLiteral("/Patch/patchchain.json"),
                             R"([{"preVersion": 10004, "version": 10005,
                                  "path": "10004_10005", "files": []}])"));
        if (name.startsWith("repair:")) { // changed bytes in terrain.pak, world.pak gone
            QByteArray bytes = readAll(dir + QStringLiteral("/Drevna/Data/terrain.pak"));
            bytes[bytes.size() / 2] = char(~bytes[bytes.size() / 2]);
            QVERIFY(writeAll(dir + QStringLiteral("/Drevna/Data/terrain.pak"), bytes) &&
                    QFile::remove(dir + QStringLiteral("/Drevna/Data/world.pak")));
        }
        QElapsedTimer t;
        t.start();
        QString problem;
        QVERIFY(runs->startStack(content, {QStringLiteral("--rate"), rate}));
        for (const QString& kill : qAsConst(kills)) {
            problem = runUntil(dir, content, kill.split(QStringLiteral(" > ")));
            if (!problem.isEmpty())
                break;
        }
        if (problem.isEmpty()) {
            QVERIFY(runs->startStack(content));
            problem = runUntil(dir, content, {});
        }
        if (problem.isEmpty())
            problem = runs->installProblem(dir, Newest);
        if (problem.isEmpty() && !LauncherRuns::strayFiles(dir).isEmpty())
            problem = QStringLiteral("left behind: ") +
                      LauncherRuns::strayFiles(dir).join(QLatin1Char(' '));

        ++pointsRun;
        pointsOk += problem.isEmpty() ? 1 : 0;
        qInfo().noquote() << QStringLiteral("point %1 \"%2\": %3 (%4 kills, %5 s)")
                                 .arg(pointsRun)
                                 .arg(name, problem.isEmpty() ? QStringLiteral("ok") : problem)
                                 .arg(kills.size())
                                 .arg(t.elapsed() / 1000.0, 0, 'f', 1);
        if (!problem.isEmpty())
            qWarning().noquote() << "launcher log:" << runs->launcherLog(dir).right(2000);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
};

QTEST_GUILESS_MAIN(ChaosKill)
#include "tst_chaoskill.moc"

// The real launcher against one server fault or hostile answer at a time.
// The test server plays content servers A and B and the tracking endpoint
// (behind forwarders on the launcher's fixed ports), so each fault hits one
// path exactly and every report to the player arrives as "update_error".
// Each run must end, in bounded time, in the newest game byte for byte or in
// the error shown to the player; it must install no wrong file and write
// nothing outside the game and patch folders. After an error, a start
// without the fault must reach the newest game.
// ctest-lock: launcher-instance;chaos-stack;game-processes
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QUrlQuery>
#include <QtTest>

#include "httptestserver.h"
#include "launcherharness.h"
#include "portforwarder.h"

#include <sched.h>
#include <sys/mount.h>

Q_DECLARE_METATYPE(HttpTestServer::Fault)

using namespace harness;

namespace
{

const int Newest = 10006;
const QString Base = QStringLiteral("/Stm/patch");
const QString VersionFile = QStringLiteral("/StellmarClient/Downloader/version.txt");
const QString SetupFile = QStringLiteral("/StellmarClient/Downloader/REZ-setup.exe");
const QString ConfigFile = QStringLiteral("/StellmarClient/updateconfig_Stm.txt");

HttpTestServer::Fault makeFault(int delayMs = 0, int status = 0, int times = -1)
{
    HttpTestServer::Fault f;
    f.delayMs = delayMs;
    f.status = status;
    f.times = times;
    return f;
}

} // namespace

class ChaosFault : public QObject
{
    Q_OBJECT

    LauncherRuns* runs = nullptr;
    HttpTestServer* server = nullptr;
    QList<PortForwarder*> forwarders;
    QString served;
    bool fullMatrix = false;
    bool ownMounts = false;

    QByteArray servedFile(const QString& path) const { return readAll(served + path); }

    // (event name, val1) of every report from the launcher of dir.
    QList<QPair<QString, QString>> events(const QString& dir) const
    {
        const QString id = QString::fromUtf8(readAll(dir + QStringLiteral("/clientid.txt")));
        QList<QPair<QString, QString>> list;
        for (const HttpTestServer::Request& r : server->requests(QStringLiteral("/trackevent"))) {
            const QUrlQuery q(QString::fromLatin1(r.query()));
            if (!id.isEmpty() &&
                q.queryItemValue(QStringLiteral("clientid"), QUrl::FullyDecoded) == id)
                list.append({q.queryItemValue(QStringLiteral("name"), QUrl::FullyDecoded),
                             q.queryItemValue(QStringLiteral("val1"), QUrl::FullyDecoded)});
        }
        return list;
    }

    // text may hold "*" for any run of characters.
    bool reported(const QString& dir, const QString& name, const QString& text = QString()) const
    {
        for (const auto& e : events(dir)) {
            int at = 0;
            for (const QString& part : text.split(QLatin1Char('*'))) {
                at = at < 0 ? at : e.second.indexOf(part, at);
                at = at < 0 ? at : at + part.size();
            }
            if (e.first == name && at >= 0)
                return true;
        }
        return false;
    }

    // Applies one change of the served content: "corrupt:" a listed delta;
    // "name:" adds an entry of that name to a step's
    // list; "list:" replaces the patch list; "wrong:" serves other bytes of
    // the same length; "announce" names a newer launcher.
    bool applyChange(const QString& change, HttpTestServer::Fault* f)
    {
        const QString kind = change.section(QLatin1Char(':'), 0, 0);
        const QString arg = change.section(QLatin1Char(':'), 1);
        const QString step = arg.section(QLatin1Char('/'), 0, 0);
        const QString name =
            arg.section(QLatin1Char('/'), 1).replace(QLatin1Char('/'), QLatin1Char('\\'));
        const QString listPath =
            Base + QLatin1Char('/') + step + QStringLiteral("/patchfiles.json");
        const QByteArray original = servedFile(Base + QLatin1Char('/') + arg);
        QByteArray bytes;
        if (kind == QLatin1String("corrupt"))
            bytes = original.left(68) + QByteArray(original.size() - 68, 'Z');
        if (!bytes.isEmpty()) {
            server->setFile(Base + QLatin1Char('/') + arg, bytes);
            server->setFile(listPath, relisted(servedFile(listPath), name, bytes));
            return true;
        }
        if (kind == QLatin1String("name")) {
            QJsonObject list = QJsonDocument::fromJson(servedFile(listPath)).object();
            QJsonArray files = list.value(QStringLiteral("filelist")).toArray();
            QJsonObject entry = files.first().toObject();
            entry.insert(QStringLiteral("name"), arg.section(QLatin1Char('/'), 1));
            entry.insert(QStringLiteral("type"), QStringLiteral("add"));
            files.append(entry);
            list.insert(QStringLiteral("filelist"), files);
            server->setFile(listPath, QJsonDocument(list).toJson());
            return true;
        }
        if (kind == QLatin1String("list")) {
            server->setFile(Base + QStringLiteral("/patchlist.json"), arg.toUtf8());
            return true;
        }
        if (kind == QLatin1String("wrong")) {
            f->status = 200;
            f->body = QByteArray(original.size(), 'W');
            return !original.isEmpty();
        }
        if (kind == QLatin1String("announce")) {
            const QString setup =
                QStringLiteral("http://127.0.0.1:%1%2").arg(runs->ports.at(0), SetupFile);
            server->setFile(VersionFile, QJsonDocument(QJsonObject{{QStringLiteral("version"), 7},
                                                                   {QStringLiteral("url"), setup}})
                                             .toJson());
            return true;
        }
        return kind.isEmpty();
    }

    // Leaves a file in the patch folder as an earlier run could: "wrongfull:"
    // a whole-file download of the right size but other content.
    bool seed(const QString& dir, const QString& what)
    {
        const QString kind = what.section(QLatin1Char(':'), 0, 0);
        const QString arg = what.section(QLatin1Char(':'), 1);
        const QString local = dir + QStringLiteral("/Patch/") + arg;
        if (kind == QLatin1String("wrongfull")) {
            const QString step = arg.section(QLatin1Char('/'), 0, 0);
            const QString rest = arg.section(QLatin1Char('/'), 1);
            const QByteArray whole =
                servedFile(Base + QLatin1Char('/') + step + QStringLiteral("_full/") + rest);
            return writeAll(local + QStringLiteral("_full"), QByteArray(whole.size(), 'L'));
        }
        return what.isEmpty();
    }

    // A patch folder that fills while the full package downloads: "NAME"
    // finds no room at all, "NAME:-N" misses its last N bytes. Its own file
    // system, so the launcher and the player's profile take none of it.
    bool mountSmallPatchDisk(const QString& patchDir, const QString& fullAt, bool remount)
    {
        const auto pages = [](qint64 bytes) { return (bytes + 4095) / 4096 * 4096; };
        qint64 size = 256 * 1024 * 1024;
        if (!remount) {
            const QString list = served + Base + QStringLiteral("/10006_full/patchfiles.json");
            size = pages(readAll(list).size());
            const QString name = fullAt.section(QLatin1Char(':'), 0, 0);
            const qint64 missing = -fullAt.section(QLatin1Char(':'), 1).toLongLong();
            for (const QJsonValue v : readJson(list).value(QStringLiteral("filelist")).toArray()) {
                const qint64 bytes = qint64(v.toObject().value(QStringLiteral("size")).toDouble());
                if (v.toObject().value(QStringLiteral("name")).toString() == name) {
                    size += missing > 0 ? (bytes - missing) / 4096 * 4096 : 0;
                    break;
                }
                size += pages(bytes);
            }
        }
        QDir().mkpath(patchDir);
        const QByteArray options = "size=" + QByteArray::number(size);
        return ::mount("tmpfs", QFile::encodeName(patchDir).constData(), "tmpfs",
                       remount ? MS_REMOUNT : 0, options.constData()) == 0;
    }

    // Removes the files of the installed version that the newest one lacks,
    // after checking that they are unchanged.
    QString oldFilesProblem(const QString& dir, int installed) const
    {
        const QString old = runs->versions + QLatin1Char('/') + QString::number(installed);
        const QString newest = runs->versions + QLatin1Char('/') + QString::number(Newest);
        for (const QString& rel : filesBelow(old)) {
            const QString game = dir + QStringLiteral("/Drevna/") + rel;
            if (QFileInfo::exists(newest + QLatin1Char('/') + rel) || !QFileInfo::exists(game))
                continue;
            if (readAll(game) != readAll(old + QLatin1Char('/') + rel))
                return rel + QStringLiteral(" of the old version was changed");
            QFile::remove(game);
        }
        return QString();
    }

    // One launcher until its outcome: "exact" (update_finish; "box, then
    // exact" after at least one box; "exact over old" see oldFilesProblem),
    // "error:TEXT" (an update_error holding TEXT) or "box" (a box answered,
    // and then no update). Boxes are answered as they come. Empty, or what
    // went wrong.
    QString runOnce(const QString& dir, const QString& outcome, int boundS, int* boxes)
    {
        QElapsedTimer sinceBox;
        const auto verdict = [&](QProcess* p) -> LauncherRuns::Verdict {
            const QString box = LauncherRuns::visibleWindow(p, false);
            if (LauncherRuns::windowName(box) == QStringLiteral("提示")) {
                ++*boxes;
                sinceBox.start();
                runProgram(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), box});
                runProgram(QStringLiteral("xdotool"),
                           {QStringLiteral("key"), QStringLiteral("Return")});
                return {};
            }
            if (reported(dir, QStringLiteral("update_finish"))) {
                if (!outcome.contains(QLatin1String("exact")))
                    return QStringLiteral("finished instead of ") + outcome;
                if (outcome.startsWith(QLatin1String("box")) && *boxes == 0)
                    return QStringLiteral("finished without a box");
                return QString();
            }
            if (outcome.startsWith(QLatin1String("error:")) &&
                reported(dir, QStringLiteral("update_error"), outcome.mid(6)))
                return QString();
            if (outcome == QLatin1String("box") && *boxes > 0 && sinceBox.elapsed() > 3000)
                return server->requests(Base + QStringLiteral("/patchlist.json")).isEmpty()
                           ? QString()
                           : QStringLiteral("the update went on after the box");
            return {};
        };
        const auto overdue = [&] {
            QStringList seen;
            for (const auto& e : events(dir))
                seen << e.first + QLatin1Char(' ') + e.second;
            return QStringLiteral("no %1 within %2 s (%3 boxes; events: %4)")
                .arg(outcome)
                .arg(boundS)
                .arg(*boxes)
                .arg(seen.join(QStringLiteral(", ")));
        };
        return runs->runLauncher(dir, dir + QStringLiteral("/home"), 250, boundS * 1000, verdict,
                                 overdue);
    }

private slots:
    void initTestCase()
    {
        const QString need = LauncherRuns::unmetNeed({QStringLiteral("xdotool")});
        if (!need.isEmpty())
            QSKIP(qPrintable(need));
        fullMatrix = qEnvironmentVariableIntValue("DREVNA_CHAOS_FULL") != 0;
        // A mount namespace of this process and its launchers, so that a
        // small disk can be mounted for a run (root only).
        ownMounts = ::unshare(CLONE_NEWNS) == 0 &&
                    ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;

        const QStringList ports = QStringLiteral(CHAOS_PORTS).split(QLatin1Char(','));
        runs = new LauncherRuns(QStringLiteral(CHAOS_WORK), QStringLiteral(CHAOS_LAUNCHER),
                                QStringLiteral(CHAOS_STACK), ports, this);
        served = runs->work + QStringLiteral("/served");
        runs->content = served + Base;
        QVERIFY(runs->setUp(QStringLiteral(CHAOS_SAMPLEGAME), QStringLiteral(CHAOS_PUBLISH), 8));
        runs->holdDisplay();

        server = new HttpTestServer(this);
        QVERIFY(server->isListening());
        server->serveDirectory(served);
        for (int i = 0; i < 4; ++i) {
            if (i == 2)
                continue; // the portal stays away: the page is not under test
            forwarders << new PortForwarder(quint16(ports.at(i).toUInt()), server->port(), this);
            QVERIFY2(forwarders.last()->isListening(), qPrintable(ports.at(i) + " is taken"));
        }
    }

    void init()
    {
        server->clearRoutes();
        server->clearFaults();
        server->clearRequests();
        server->serveDirectory(served);
        server->setFile(QStringLiteral("/trackevent"), QByteArray());
        const QString base = QStringLiteral("http://127.0.0.1:%1") + Base;
        server->setFile(
            ConfigFile,
            QJsonDocument(QJsonObject{
                              {QStringLiteral("Url"), base.arg(runs->ports.at(0))},
                              {QStringLiteral("OriginalUrl"), base.arg(runs->ports.at(1))},
                          })
                .toJson());
        server->setFile(VersionFile,
                        QJsonDocument(QJsonObject{{QStringLiteral("version"), 1}}).toJson());
        server->setFile(
            SetupFile,
            "#!/bin/sh\necho \"Drevna launcher setup, version 7\" >> drevna-setup.log\n");
    }

    void cleanup() { runs->killAllLaunchers(); }

    void fault_data()
    {
        QTest::addColumn<int>("installed");
        QTest::addColumn<QString>("path"); // the faulted path, without the query
        QTest::addColumn<HttpTestServer::Fault>("fault");
        QTest::addColumn<QString>("change");   // see applyChange
        QTest::addColumn<QString>("left");     // see seed
        QTest::addColumn<QString>("diskFull"); // see mountSmallPatchDisk
        QTest::addColumn<QString>("outcome");  // see runOnce
        QTest::addColumn<QString>("shown");    // an error the player also saw on the way
        QTest::addColumn<int>("boundS");
        QTest::addColumn<bool>("quick"); // part of the subset that scripts/test runs

        const QString step = Base + QStringLiteral("/10005_10006/");
        const QString world = QStringLiteral("10005_10006/Data/world.pak.patch");
        const QString audio = QStringLiteral("10005_10006/Data/audio.pak.patch");
        const QString noByte = QStringLiteral("error:下载失败");
        HttpTestServer::Fault none;
        HttpTestServer::Fault silent = makeFault(600000);
        HttpTestServer::Fault silentOnce = makeFault(600000, 0, 1);
        HttpTestServer::Fault stall;
        stall.stallAfterBytes = 10000;
        stall.times = 1;
        HttpTestServer::Fault reset;
        reset.dropAfterBytes = 10000;
        reset.times = 1;
        auto row = [](const char* name, int installed, const QString& path,
                      const HttpTestServer::Fault& f, const QString& change, const QString& left,
                      const QString& disk, const QString& outcome, const QString& shown, int boundS,
                      bool quick) {
            QTest::newRow(name) << installed << path << f << change << left << disk << outcome
                                << shown << boundS << quick;
        };

        // No first byte, on each request of a start.
        row("silent version file", Newest, VersionFile, silent, {}, {}, {}, "box, then exact", {},
            60, false);
        row("silent update configuration", Newest, ConfigFile, silent, {}, {}, {}, "box", {}, 60,
            false);
        row("silent patch list", 10005, Base + "/patchlist.json", silent, {}, {}, {}, noByte, {},
            30, true);
        row("silent file list", 10005, step + "patchfiles.json", silent, {}, {}, {}, noByte, {}, 30,
            false);
        row("silent patch file, once", 10005, Base + "/" + world, silentOnce, {}, {}, {}, "exact",
            "下载失败(1)", 60, false);
        row("silent setup program", Newest, SetupFile, silent, "announce", {}, {},
            "box, then exact", {}, 60, false);
        // Transfers that break.
        row("stall after some bytes", 10005, Base + "/" + audio, stall, {}, {}, {}, "exact",
            "下载失败(1)", 120, false);
        row("reset mid-body", 10005, Base + "/" + audio, reset, {}, {}, {}, "exact", {}, 60, true);
        row("burst of 503", 10005, Base + "/" + audio, makeFault(0, 503, 3), {}, {}, {}, "exact",
            "下载失败(3)", 60, true);
        row("wrong bytes once", 10005, Base + "/" + audio, makeFault(0, 0, 1), "wrong:" + audio, {},
            {}, "exact", {}, 60, false);
        row("wrong bytes always", 10005, Base + "/" + audio, none, "wrong:" + audio, {}, {}, noByte,
            {}, 30, true);
        row("redirect answer", 10005, Base + "/" + audio, makeFault(0, 302), {}, {}, {}, noByte, {},
            30, false);
        HttpTestServer::Fault endless503 = makeFault(0, 503, 1);
        endless503.endless = true;
        row("503 with an endless body, once", 10005, Base + "/" + audio, endless503, {}, {}, {},
            "exact", "下载失败(1)", 60, true);
        // Answers without end, or too slow to be waited for.
        HttpTestServer::Fault endless;
        endless.endless = true;
        row("endless patch list", 10005, Base + "/patchlist.json", endless, {}, {}, {}, noByte, {},
            60, false);
        HttpTestServer::Fault endlessOnce = endless;
        endlessOnce.times = 1;
        row("patch file past its listed size, once", 10005, Base + "/" + audio, endlessOnce, {}, {},
            {}, "exact", "下载失败(1)", 90, false);
        HttpTestServer::Fault trickle;
        trickle.trickleMs = 2000;
        row("a byte every 2 s of the patch list", 10005, Base + "/patchlist.json", trickle, {}, {},
            {}, noByte, {}, 120, false);
        HttpTestServer::Fault crawl;
        crawl.bytesPerSecond = 20;
        crawl.times = 1;
        row("a patch file at 20 B/s, once", 10005, Base + "/" + world, crawl, {}, {}, {}, "exact",
            "下载失败(1)", 150, false);
        HttpTestServer::Fault steadyEndless = endless;
        steadyEndless.bytesPerSecond = 200;
        row("version file steady past its deadline", Newest, VersionFile, steadyEndless, {}, {}, {},
            "box, then exact", {}, 200, false);
        // Deltas that cannot be applied: the whole file is fetched instead.
        row("corrupt delta", 10005, {}, none, "corrupt:" + world, {}, {}, "exact", {}, 60, true);
        row("full-size leftover of the whole file", 10005, {}, none, "corrupt:" + world,
            "wrongfull:" + world, {}, "exact", {}, 60, false);
        // Hostile names and lists.
        row("name climbing out", 10005, {}, none, "name:10005_10006/..\\..\\x.dat.patch", {}, {},
            "error:配置解析失败", {}, 30, true);
        const QString cycle = QStringLiteral(
            R"({"patchversion":{"a":{"version":10006,"preversion":10005,"path":"10005_10006"},)"
            R"("b":{"version":10005,"preversion":10006,"path":"10004_10005"}},)"
            R"("fullversion":{"version":10006,"preversion":0,"path":"10006_full"}})");
        row("cycle in the patch list", 10004, {}, none, "list:" + cycle, {}, {}, "exact over old",
            {}, 90, false);
        row("empty patch list", 10005, {}, none, "list:", {}, {}, "error:解码错误", {}, 30, false);
        row("invalid patch list", 10005, {}, none, "list:{\"patchversion\":", {}, {},
            "error:解码错误", {}, 30, false);
        // A disk that fills during the full package.
        // Files are written side by side: any of them may meet the full disk.
        row("disk full at a small file", 0, {}, none, {}, {}, "Drevna.exe.patch",
            "error:Patch/10006_full/* 写入失败", {}, 60, true);
        // The last large file, in slices of 15 kB, so that its last bytes wait
        // in a write buffer and only tiny files come after it.
        HttpTestServer::Fault slices;
        slices.bytesPerSecond = 150000;
        row("disk full in a file's last bytes", 0, Base + "/10006_full/Data/world.pak.patch",
            slices, {}, {}, "Data\\world.pak.patch:-2048", "error:Patch/10006_full/* 写入失败", {},
            90, false);
    }

    void fault()
    {
        QFETCH(int, installed);
        QFETCH(QString, path);
        QFETCH(HttpTestServer::Fault, fault);
        QFETCH(QString, change);
        QFETCH(QString, left);
        QFETCH(QString, diskFull);
        QFETCH(QString, outcome);
        QFETCH(QString, shown);
        QFETCH(int, boundS);
        QFETCH(bool, quick);
        if (!quick && !fullMatrix)
            QSKIP("full matrix only (scripts/chaos)");
        if (!diskFull.isEmpty() && !ownMounts)
            QSKIP("a small disk needs a mount namespace of the test's own (run as root)");

        const QString dir =
            runs->newRunFolder(QString::fromUtf8(QTest::currentDataTag()), installed);
        QVERIFY(!dir.isEmpty());
        const QString patchDir = dir + QStringLiteral("/Patch");
        if (!diskFull.isEmpty())
            QVERIFY(mountSmallPatchDisk(patchDir, diskFull, false));
        QVERIFY(seed(dir, left));
        QVERIFY(applyChange(change, &fault));
        if (!path.isEmpty())
            server->setFault(path, fault);

        int boxes = 0;
        QString problem = runOnce(dir, outcome, boundS, &boxes);
        if (problem.isEmpty() && !shown.isEmpty() &&
            !reported(dir, QStringLiteral("update_error"), shown))
            problem = QStringLiteral("the player never saw ") + shown;
        if (problem.isEmpty())
            problem = runs->wrongFileProblem(dir);
        if (problem.isEmpty() && !LauncherRuns::strayFiles(dir).isEmpty())
            problem = QStringLiteral("written outside: ") +
                      LauncherRuns::strayFiles(dir).join(QLatin1Char(' '));
        // After an error the next start without the fault must heal it.
        if (problem.isEmpty() && !outcome.contains(QLatin1String("exact"))) {
            init();
            if (!diskFull.isEmpty())
                QVERIFY(mountSmallPatchDisk(patchDir, diskFull, true));
            problem = runOnce(dir, QStringLiteral("exact"), 90, &boxes);
        }
        if (!diskFull.isEmpty()) {
            // The launcher cannot remove a mount point: an empty one counts
            // as removed.
            const QStringList left = filesBelow(patchDir);
            ::umount(QFile::encodeName(patchDir).constData());
            QDir().rmdir(patchDir);
            if (problem.isEmpty() && !left.isEmpty())
                problem =
                    QStringLiteral("left in the patch folder: ") + left.join(QLatin1Char(' '));
        }
        // A full package over an older game leaves the files that the newest
        // version dropped: they must be the old bytes, untouched.
        if (problem.isEmpty() && outcome == QLatin1String("exact over old"))
            problem = oldFilesProblem(dir, installed);
        if (problem.isEmpty())
            problem = runs->installProblem(dir, Newest);

        qInfo().noquote() << QStringLiteral("fault \"%1\": %2")
                                 .arg(QString::fromUtf8(QTest::currentDataTag()),
                                      problem.isEmpty() ? QStringLiteral("ok") : problem);
        if (!problem.isEmpty())
            qWarning().noquote() << "launcher log:" << runs->launcherLog(dir).right(2000);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
};

QTEST_GUILESS_MAIN(ChaosFault)
#include "tst_chaosfault.moc"

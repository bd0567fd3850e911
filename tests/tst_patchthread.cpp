#include "engineprobe.h"
#include "patch/patchfile.h"
#include "patch/patchthread.h"
#include "testfiles.h"
#include "update/patchmanager.h"

#include "fakedisplay.h"
#include "httptestserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
// Game file contents by version: a shared body with a version-specific part.
QByteArray content(const QString& name, int version)
{
    QByteArray body;
    for (int i = 0; i < 2000; ++i)
        body += name.toUtf8() + " line " + QByteArray::number(i * 7919 % 1000) + "\n";
    body.insert(body.size() / 3, "version " + QByteArray::number(version) + "\n");
    return body;
}

// What the thread reports, in order, as short text lines.
class Recorder : public QObject
{
public:
    explicit Recorder(PatchThread* thread)
    {
        auto add = [this](const QString& line) {
            QMutexLocker lock(&mutex);
            lines << line;
        };
        connect(
            thread, &PatchThread::startPatch, this,
            [add](DownloadFileInfo f, int num, int all) {
                add(QString("start %1 %2/%3").arg(f.name).arg(num).arg(all));
            },
            Qt::DirectConnection);
        connect(
            thread, &PatchThread::doneOnePatch, this,
            [add](DownloadFileInfo f, int num, int all) {
                add(QString("done %1 %2/%3").arg(f.name).arg(num).arg(all));
            },
            Qt::DirectConnection);
        connect(
            thread, &PatchThread::onError, this,
            [add](DownloadFileInfo f, int code) {
                add(QString("error %1 %2").arg(f.name).arg(code));
            },
            Qt::DirectConnection);
        connect(
            thread, &PatchThread::allDone, this, [add] { add("allDone"); }, Qt::DirectConnection);
        connect(
            thread, &PatchThread::startDownFullPak, this,
            [add](DownloadFileInfo f, bool active) {
                add(QString("full %1 %2 %3").arg(f.name, f.path).arg(active ? "on" : "off"));
            },
            Qt::DirectConnection);
        connect(
            thread, &PatchThread::patchProgress_, this,
            [this](float p) {
                QMutexLocker lock(&mutex);
                progress << p;
            },
            Qt::DirectConnection);
    }
    QStringList lines;
    QList<float> progress;
    QMutex mutex;
};

} // namespace

class TestPatchThread : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void twoStepsOldestFirst();
    void stepOutcomes_data();
    void stepOutcomes();
    void wholeFileFallback_data();
    void wholeFileFallback();
    void fullEngineRun();

private:
    QString game(const QString& name) const { return dir->filePath("Drevna/" + name); }
    QString patch(const QString& name) const { return dir->filePath(patchRoot + "/" + name); }
    DownloadFileInfo record(const QString& step, const QString& name, const QString& type,
                            const QByteArray& download, const QByteArray& src = {},
                            const QByteArray& dest = {});
    DownloadFileInfo diff(const QString& step, const QString& name, const QByteArray& oldData,
                          const QByteArray& newData);
    void serveWhole(const QString& step, const QString& name, const QByteArray& data);
    QStringList run(const PatchChain& chain, bool resume, Recorder** recorder = nullptr);
    PatchChain savedChain() const;

    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<HttpTestServer> server;
    QScopedPointer<PatchManager> manager;
    QScopedPointer<PatchThread> thread;
    QScopedPointer<Recorder> recorder;
    QMap<QString, QJsonArray> fullLists;
    QString patchRoot;
};

void TestPatchThread::init()
{
    patchRoot = "Patch";
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    QVERIFY(QDir().mkpath(game("")) && QDir().mkpath(patch("")));
    server.reset(new HttpTestServer);
    QVERIFY(server->isListening());
    manager.reset(new PatchManager);
    probe(*manager).baseUrl = server->url("/res");
    probe(*manager).patchDir = dir->filePath("Patch");
    probe(*manager).gameDir = dir->filePath("Drevna");
    fullLists.clear();
}

void TestPatchThread::cleanup()
{
    if (thread)
        thread->wait();
    recorder.reset();
    thread.reset();
    manager.reset();
    server.reset();
    dir.reset();
}

DownloadFileInfo TestPatchThread::record(const QString& step, const QString& name,
                                         const QString& type, const QByteArray& download,
                                         const QByteArray& src, const QByteArray& dest)
{
    DownloadFileInfo f;
    f.name = name;
    f.type = type;
    f.size = download.size();
    f.md5 = md5Bytes(download);
    f.srcMd5 = src.isNull() ? QString() : QString(md5Bytes(src));
    f.destMd5 = dest.isNull() ? QString() : QString(md5Bytes(dest));
    f.path = step;
    f.parentUrl = probe(*manager).baseUrl;
    return f;
}

// A real patch, stored where the download would have put it.
DownloadFileInfo TestPatchThread::diff(const QString& step, const QString& name,
                                       const QByteArray& oldData, const QByteArray& newData)
{
    const QString oldPath = dir->filePath("scratch.old"), newPath = dir->filePath("scratch.new");
    const QString patchPath = patch(step + "/" + name);
    writeAll(oldPath, oldData);
    writeAll(newPath, newData);
    QDir().mkpath(QFileInfo(patchPath).absolutePath());
    if (createPatchFile(QFile::encodeName(oldPath), QFile::encodeName(newPath),
                        QFile::encodeName(patchPath)) != 0)
        return {};
    return record(step, name, "diff", readAll(patchPath), oldData, newData);
}

// The whole new file on the server, in the step's "_full" folder and list.
void TestPatchThread::serveWhole(const QString& step, const QString& name, const QByteArray& data)
{
    fullLists[step].append(QJsonObject{{"name", name},
                                       {"size", data.size()},
                                       {"md5", QString(md5Bytes(data))},
                                       {"type", "add"},
                                       {"srcmd5", ""},
                                       {"destmd5", QString(md5Bytes(data))}});
    server->setFile("/res/" + step + "_full/patchfiles.json",
                    QJsonDocument(QJsonObject{{"filelist", fullLists[step]}}).toJson());
    server->setFile("/res/" + step + "_full/" + name, data);
}

QStringList TestPatchThread::run(const PatchChain& chain, bool resume, Recorder** rec)
{
    thread.reset(new PatchThread(chain, probe(*manager).patchDir, probe(*manager).gameDir, resume,
                                 manager.data()));
    thread->finishSleepMs = 0;
    recorder.reset(new Recorder(thread.data()));
    if (rec)
        *rec = recorder.data();
    thread->start();
    // The thread's requests are served by this thread's event loop. Polled
    // like QTRY_*: a quick thread may finish before any wait would begin.
    QElapsedTimer clock;
    clock.start();
    while (!thread->isFinished()) {
        if (clock.elapsed() > 60000)
            return {"timeout"};
        QTest::qWait(5);
    }
    QMutexLocker lock(&recorder->mutex);
    return recorder->lines;
}

PatchChain TestPatchThread::savedChain() const
{
    return patchChainFromJson(readAll(patch("patchchain.json")));
}

// The chain is newest first; applying 10005 before 10004 would fail its
// source check.
void TestPatchThread::twoStepsOldestFirst()
{
    const QByteArray v4 = content("a", 4), v5 = content("a", 5), v6 = content("a", 6);
    QVERIFY(writeAll(game("data/a.bin"), v4));
    PatchStep s1{10004, 10005, "10005", {diff("10005", "data/a.bin.patch", v4, v5)}};
    PatchStep s2{10005,
                 10006,
                 "10006",
                 {diff("10006", "data/a.bin.patch", v5, v6),
                  record("10006", "new.txt.patch", "add", "fresh", {}, "fresh")}};
    QVERIFY(writeAll(patch("10006/new.txt.patch"), "fresh"));

    Recorder* rec = nullptr;
    const QStringList lines = run({s2, s1}, false, &rec);
    QCOMPARE(lines, QStringList({"start data/a.bin.patch 1/1", "done data/a.bin.patch 1/1",
                                 "start data/a.bin.patch 1/2", "done data/a.bin.patch 1/2",
                                 "start new.txt.patch 2/2", "done new.txt.patch 2/2", "allDone"}));
    QCOMPARE(readAll(game("data/a.bin")), v6);
    QCOMPARE(readAll(game("new.txt")), QByteArray("fresh"));
    QVERIFY(!QFileInfo::exists(game("data/a.bin_bak")));
    QVERIFY(!QFileInfo::exists(patch("10006/new.txt.patch")));
    QCOMPARE(thread->lastResult.load(), 0);
    // Progress is a share of the old file and never claims completion.
    QVERIFY(!rec->progress.isEmpty());
    for (float p : rec->progress)
        QVERIFY(p > 0 && p <= 0.99f);
    // Every file is recorded as done, so a resumed run would skip them.
    const PatchChain saved = savedChain();
    QCOMPARE(saved.size(), 2);
    for (const PatchStep& s : saved)
        for (const DownloadFileInfo& f : s.files)
            QVERIFY2(f.hadPatch, qPrintable(s.path + "/" + f.name));
    QVERIFY(server->requests().isEmpty());
}

void TestPatchThread::stepOutcomes_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("all done already") << "hadPatch"
                                      << QStringList{"start a.bin.patch 1/3",
                                                     "done a.bin.patch 1/3",
                                                     "start b.bin.patch 2/3",
                                                     "done b.bin.patch 2/3",
                                                     "start c.bin.patch 3/3",
                                                     "done c.bin.patch 3/3",
                                                     "allDone"};
    QTest::newRow("del of a missing file")
        << "delMissing"
        << QStringList{"start gone.bin.patch 1/1", "done gone.bin.patch 1/1", "allDone"};
    QTest::newRow("del of a present file")
        << "del" << QStringList{"start old.bin.patch 1/1", "done old.bin.patch 1/1", "allDone"};
    QTest::newRow("unknown type") << "unknown" << QStringList{"start odd.bin.patch 1/1", "allDone"};
    QTest::newRow("resume accepts a finished target")
        << "resume" << QStringList{"start a.bin.patch 1/1", "done a.bin.patch 1/1", "allDone"};
    QTest::newRow("resume accepts an added file")
        << "resumeAdd"
        << QStringList{"start sub\\n.bin.patch 1/1", "done sub\\n.bin.patch 1/1", "allDone"};
    QTest::newRow("add into a sub-folder")
        << "add"
        << QStringList{"start sub\\n.bin.patch 1/1", "done sub\\n.bin.patch 1/1", "allDone"};
    QTest::newRow("name leaving the game folder")
        << "unsafe"
        << QStringList{"start ok.bin.patch 1/2", "done ok.bin.patch 1/2",
                       "error ..\\evil.bin.patch -1000"};
    QTest::newRow("name without a suffix") << "short" << QStringList{"error x.bin -1000"};
    QTest::newRow("empty chain") << "empty" << QStringList{"allDone"};
    QTest::newRow("target is a folder")
        << "blocked" << QStringList{"start a.bin.patch 1/1", "error a.bin.patch -100"};
}

// Steps that need no server: everything is decided from the disk.
void TestPatchThread::stepOutcomes()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, expected);
    const QByteArray v1 = content("a", 1), v2 = content("a", 2);
    PatchStep step{10001, 10002, "10002", {}};
    bool resume = false;
    QMap<QString, QByteArray> gameAfter; // null: must not exist

    if (scenario == "hadPatch") {
        // Nothing on disk would let these succeed: the marks alone decide.
        QVERIFY(writeAll(game("a.bin"), v1));
        QVERIFY(writeAll(game("c.bin"), "keep"));
        step.files = {record("10002", "a.bin.patch", "diff", "x", v1, v2),
                      record("10002", "b.bin.patch", "add", "y", {}, "y"),
                      record("10002", "c.bin.patch", "del", {})};
        for (DownloadFileInfo& f : step.files)
            f.hadPatch = true;
        gameAfter = {{"a.bin", v1}, {"b.bin", {}}, {"c.bin", "keep"}};
    } else if (scenario == "delMissing") {
        step.files = {record("10002", "gone.bin.patch", "del", {})};
        gameAfter = {{"gone.bin", {}}};
    } else if (scenario == "del") {
        QVERIFY(writeAll(game("old.bin"), "old"));
        step.files = {record("10002", "old.bin.patch", "del", {})};
        gameAfter = {{"old.bin", {}}};
    } else if (scenario == "unknown") {
        QVERIFY(writeAll(game("odd.bin"), "odd"));
        QVERIFY(writeAll(patch("10002/odd.bin.patch"), "other"));
        step.files = {record("10002", "odd.bin.patch", "move", "other")};
        gameAfter = {{"odd.bin", "odd"}};
    } else if (scenario == "resume") {
        // The patch file is gone: it must not be needed.
        QVERIFY(writeAll(game("a.bin"), v2));
        step.files = {record("10002", "a.bin.patch", "diff", "x", v1, v2)};
        resume = true;
        gameAfter = {{"a.bin", v2}};
    } else if (scenario == "resumeAdd") {
        QVERIFY(writeAll(game("sub/n.bin"), "new"));
        step.files = {record("10002", "sub\\n.bin.patch", "add", "new", {}, "new")};
        resume = true;
        gameAfter = {{"sub/n.bin", "new"}};
    } else if (scenario == "add") {
        QVERIFY(writeAll(patch("10002/sub/n.bin.patch"), "new"));
        QVERIFY(writeAll(game("sub/n.bin"), "stale"));
        step.files = {record("10002", "sub\\n.bin.patch", "add", "new", {}, "new")};
        gameAfter = {{"sub/n.bin", "new"}};
    } else if (scenario == "unsafe") {
        QVERIFY(writeAll(patch("10002/ok.bin.patch"), "ok"));
        QVERIFY(writeAll(patch("10002/../evil.bin.patch"), "evil"));
        step.files = {record("10002", "ok.bin.patch", "add", "ok", {}, "ok"),
                      record("10002", "..\\evil.bin.patch", "add", "evil", {}, "evil")};
        gameAfter = {{"ok.bin", "ok"}, {"../evil.bin", {}}};
    } else if (scenario == "blocked") {
        QVERIFY(writeAll(game("a.bin/inside"), "x"));
        QVERIFY(writeAll(patch("10002/a.bin.patch"), "new"));
        step.files = {record("10002", "a.bin.patch", "add", "new", {}, "new")};
        gameAfter = {{"a.bin/inside", "x"}};
    } else if (scenario == "short") {
        step.files = {record("10002", "x.bin", "del", {})};
    }

    const PatchChain chain = scenario == "empty" ? PatchChain() : PatchChain{step};
    QCOMPARE(run(chain, resume), expected);
    for (auto it = gameAfter.cbegin(); it != gameAfter.cend(); ++it) {
        if (it.value().isNull())
            QVERIFY2(!QFileInfo::exists(game(it.key())), qPrintable(it.key()));
        else
            QCOMPARE(readAll(game(it.key())), it.value());
    }
    QVERIFY(server->requests().isEmpty());
}

void TestPatchThread::wholeFileFallback_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("expected");

    const QStringList healed{"start a.bin.patch 1/1",          "full a.bin.patch  on",
                             "full a.bin.patch 10002_full on", "full a.bin.patch 10002_full off",
                             "done a.bin.patch 1/1",           "allDone"};
    QTest::newRow("failed delta healed") << "diff" << healed;
    QTest::newRow("corrupt delta healed") << "corruptDelta" << healed;
    QTest::newRow("missing add fetched whole")
        << "add" << QStringList{"start a.bin.patch 1/1",          "full a.bin.patch  on",
                                "full a.bin.patch 10002_full on", "full a.bin.patch 10002_full off",
                                "done a.bin.patch 1/1",           "allDone"};
    QTest::newRow("step path already _full")
        << "fullStep"
        << QStringList{"start a.bin.patch 1/1",          "full a.bin.patch  on",
                       "full a.bin.patch 10002_full on", "full a.bin.patch 10002_full off",
                       "done a.bin.patch 1/1",           "allDone"};
    // What is on disk decides, not what the download loop reported.
    QTest::newRow("add cut short on disk, fetched whole") << "addDamaged" << healed;
    QTest::newRow("add cut short, whole file missing: old file kept")
        << "addDamagedNoList"
        << QStringList{"start a.bin.patch 1/1", "full a.bin.patch  on", "error a.bin.patch -1000",
                       "error a.bin.patch -1000"};
    QTest::newRow("first transfer broken, second attempt") << "retry" << healed;
    QTest::newRow("stalled transfer ends, next attempt resumes") << "stall" << healed;
    QTest::newRow("entry missing from the _full list")
        << "noEntry"
        << QStringList{"start a.bin.patch 1/1", "full a.bin.patch  on", "error a.bin.patch -1000",
                       "error a.bin.patch -1000"};
    QTest::newRow("_full list of another version")
        << "otherFile"
        << QStringList{"start a.bin.patch 1/1", "full a.bin.patch  on", "error a.bin.patch -1000",
                       "error a.bin.patch -1000"};
    QTest::newRow("no _full list")
        << "noList"
        << QStringList{"start a.bin.patch 1/1", "full a.bin.patch  on", "error a.bin.patch -1000",
                       "error a.bin.patch -1000"};
    QTest::newRow("whole file always corrupt")
        << "corrupt"
        << QStringList{"start a.bin.patch 1/1",          "full a.bin.patch  on",
                       "full a.bin.patch 10002_full on", "full a.bin.patch 10002_full off",
                       "error a.bin.patch -1000",        "error a.bin.patch -1000"};
}

void TestPatchThread::wholeFileFallback()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, expected);
    const QByteArray v1 = content("a", 1), v2 = content("a", 2), other = content("b", 1);
    QString stepPath = scenario == "fullStep" ? "10002_full" : "10002";
    PatchStep step{10001, 10002, stepPath, {}};

    if (scenario == "add") {
        step.files = {record(stepPath, "a.bin.patch", "add", v2, {}, v2)};
    } else if (scenario.startsWith("addDamaged")) {
        QVERIFY(writeAll(game("a.bin"), other));
        QVERIFY(writeAll(patch(stepPath + "/a.bin.patch"), v2.left(v2.size() / 2)));
        step.files = {record(stepPath, "a.bin.patch", "add", v2, {}, v2)};
    } else if (scenario == "corruptDelta") {
        // The right game file; the delta fails while being decoded.
        QVERIFY(writeAll(game("a.bin"), v1));
        step.files = {diff(stepPath, "a.bin.patch", v1, v2)};
        QByteArray patchData = readAll(patch(stepPath + "/a.bin.patch"));
        patchData.chop(20);
        QVERIFY(writeAll(patch(stepPath + "/a.bin.patch"), patchData));
    } else {
        // The game file is not the one the patch was made for.
        QVERIFY(writeAll(game("a.bin"), other));
        step.files = {diff(stepPath, "a.bin.patch", v1, v2)};
    }
    if (scenario == "noEntry")
        serveWhole("10002", "b.bin.patch", v2);
    else if (scenario != "noList" && scenario != "addDamagedNoList")
        serveWhole("10002", "a.bin.patch", scenario == "otherFile" ? v1 : v2);
    HttpTestServer::Fault broken;
    broken.dropAfterBytes = 100;
    if (scenario == "retry") {
        broken.times = 1;
        server->setFault("/res/10002_full/a.bin.patch", broken);
    } else if (scenario == "stall") {
        HttpTestServer::Fault stall;
        stall.stallAfterBytes = 100;
        stall.times = 1;
        server->setFault("/res/10002_full/a.bin.patch", stall);
        probe(*manager).http.stallTimeoutMs = 300;
    } else if (scenario == "corrupt") {
        server->setFile("/res/10002_full/a.bin.patch", v1);
    }

    // A damaged download is met when applying resumes after an interruption.
    const QStringList lines = run({step}, scenario.startsWith("addDamaged"));
    QCOMPARE(lines, expected);
    const bool healed = expected.contains("allDone");
    QCOMPARE(readAll(game("a.bin")), healed ? v2 : (scenario == "add" ? QByteArray() : other));
    QCOMPARE(thread->lastResult.load(), healed ? 0 : -1000);
    if (scenario == "corrupt")
        QCOMPARE(server->requests("/res/10002_full/a.bin.patch").size(), 3);
    if (healed)
        QCOMPARE(thread->fullReceived.load(), qint64(v2.size()));
    if (scenario == "stall") {
        const auto requests = server->requests("/res/10002_full/a.bin.patch");
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests[1].header("Range"), QByteArray("bytes=100-"));
    }
}

// One update from the first check to the enabled start button: two steps
// from the server, one file healed from the "_full" folder.
void TestPatchThread::fullEngineRun()
{
    const QByteArray a4 = content("a", 4), a5 = content("a", 5), a6 = content("a", 6);
    const QByteArray b4 = content("b", 4), b5 = content("b", 5), b6 = content("b", 6);
    QVERIFY(writeAll(game("data/a.bin"), a4));
    QVERIFY(writeAll(game("b.bin"), b4));
    QVERIFY(writeAll(game("old.txt"), "old"));
    QVERIFY(writeAll(game("localversion.json"), R"({"version":10004})"));

    // Patches are made in a scratch folder and published on the server.
    patchRoot = "publish";
    auto publishStep = [&](const QString& step, const QList<DownloadFileInfo>& files) {
        QJsonArray list;
        for (const DownloadFileInfo& f : files) {
            list.append(QJsonObject{{"name", f.name},
                                    {"size", f.size},
                                    {"md5", f.md5},
                                    {"type", f.type},
                                    {"srcmd5", f.srcMd5},
                                    {"destmd5", f.destMd5}});
            if (f.type != "del")
                server->setFile("/res/" + step + "/" + f.name, readAll(patch(step + "/" + f.name)));
        }
        server->setFile("/res/" + step + "/patchfiles.json",
                        QJsonDocument(QJsonObject{{"filelist", list}}).toJson());
    };
    QVERIFY(writeAll(patch("10005/new.txt.patch"), "fresh"));
    publishStep("10005", {diff("10005", "data/a.bin.patch", a4, a5),
                          record("10005", "new.txt.patch", "add", "fresh", {}, "fresh"),
                          record("10005", "old.txt.patch", "del", {}),
                          diff("10005", "b.bin.patch", b4, b5)});
    // Made against a b.bin that the player does not have after 10005.
    publishStep("10006", {diff("10006", "data/a.bin.patch", a5, a6),
                          diff("10006", "b.bin.patch", content("x", 5), b6)});
    serveWhole("10006", "b.bin.patch", b6);
    server->setFile("/res/patchlist.json", R"({
        "patchversion": {"p1": {"version": 10005, "preversion": 10004, "path": "10005"},
                         "p2": {"version": 10006, "preversion": 10005, "path": "10006"}},
        "fullversion": {"version": 10006, "preversion": 0, "path": "full"}})");

    FakeDisplay display;
    PatchManager engine;
    engine.patchFinishSleepMs = 0;
    engine.eventHook = [](const QString&, const QString&, const QString&) {};
    engine.init(&display, probe(*manager).baseUrl, dir->filePath("Patch"), dir->filePath("Drevna"));
    engine.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished") || probe(engine).errorCode != 0,
                             60000);

    QCOMPARE(probe(engine).errorText, QString());
    QCOMPARE(readAll(game("data/a.bin")), a6);
    QCOMPARE(readAll(game("b.bin")), b6);
    QCOMPARE(readAll(game("new.txt")), QByteArray("fresh"));
    QVERIFY(!QFileInfo::exists(game("old.txt")));
    QVERIFY(!QFileInfo::exists(game("b.bin_bak")));
    QVERIFY(!QFileInfo::exists(dir->filePath("Patch")));
    QCOMPARE(server->requests("/res/10006_full/b.bin.patch").size(), 1);
    const QJsonObject local = QJsonDocument::fromJson(readAll(game("localversion.json"))).object();
    QCOMPARE(local.value("version").toInt(), 10006);
    QCOMPARE(local.value("start_apply_patch").toBool(), false);
}

QTEST_GUILESS_MAIN(TestPatchThread)
#include "tst_patchthread.moc"

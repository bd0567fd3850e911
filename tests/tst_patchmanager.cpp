// The update engine without a network: local files, displays, the state
// machine's own transitions and the patch thread handlers.
#include "engineprobe.h"
#include "enginetest.h"
#include "patch/patchthread.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
DownloadFileInfo fileInfo(const QString& name, const QString& type, qint64 size = 10)
{
    DownloadFileInfo f;
    f.name = name;
    f.type = type;
    f.size = size;
    f.md5 = "0123456789abcdef0123456789abcdef";
    f.path = "10006";
    return f;
}
} // namespace

class TestPatchManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void loadLocalVersion_data();
    void loadLocalVersion();
    void emptyObjectKeepsOnlyNewKeys();
    void doneOnePatchRecordsFiles();
    void saveLocalVersionFailure();
    void chainSaveFailureOffGuiThread();
    void resumeWithSavedChain();
    void resumeWithoutChain_data();
    void resumeWithoutChain();
    void allDoneOutcome_data();
    void allDoneOutcome();
    void downloadDisplay_data();
    void downloadDisplay();
    void emptyFileKeepsProgressBar();
    void patchDisplay();
    void stepStatusTexts();
    void finishedOnceAfterRecheck();
    void cleanupRemovesPatchFolder();
    void slowDownloadTiming();
    void loopMovesWithoutTick();

private:
    QTemporaryDir* dir = nullptr;
    QString gameDir() const { return dir->filePath("Drevna"); }
    QString patchDir() const { return dir->filePath("Patch"); }
    void prepare(PatchManager& m, FakeDisplay& d)
    {
        m.init(&d, "http://127.0.0.1:1/base", patchDir(), gameDir());
    }
    void reloadAsAfterKill(FakeDisplay& display);
    QScopedPointer<QTemporaryDir> dirHolder;
};

void TestPatchManager::init()
{
    dirHolder.reset(new QTemporaryDir);
    dir = dirHolder.data();
    QVERIFY(dir->isValid());
}

void TestPatchManager::loadLocalVersion_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("resume");
    QTest::addColumn<int>("decodeLines");
    QTest::newRow("missing") << QByteArray() << 0 << false << 0;
    QTest::newRow("empty object") << QByteArray("{}") << 0 << false << 0;
    QTest::newRow("invalid") << QByteArray("{\"version\": 10") << 0 << false << 1;
    QTest::newRow("empty file") << QByteArray("") << 0 << false << 1;
    QTest::newRow("array") << QByteArray("[10006]") << 0 << false << 1;
    QTest::newRow("valid") << QByteArray(R"({"version":10005,"start_apply_patch":true})") << 10005
                           << true << 0;
}

void TestPatchManager::loadLocalVersion()
{
    QFETCH(QByteArray, content);
    QFETCH(int, version);
    QFETCH(bool, resume);
    QFETCH(int, decodeLines);
    if (!content.isNull())
        QVERIFY(writeAll(gameDir() + "/localversion.json", content));
    FakeDisplay display;
    PatchManager manager;
    prepare(manager, display);
    LogCollector log;
    manager.loadLocalVersion();
    QCOMPARE(probe(manager).localVersion.value("version").toInt(), version);
    QCOMPARE(probe(manager).localVersion.value("start_apply_patch").toBool(), resume);
    QCOMPARE(log.matching("^decode .*localversion.json").size(), decodeLines);
    QCOMPARE(log.matching("^loadLocalVersion:").size(), 1);
}

// The files done are journaled; a fresh engine's load takes them into the
// record, as the next start after a kill does.
void TestPatchManager::reloadAsAfterKill(FakeDisplay& display)
{
    PatchManager next;
    prepare(next, display);
    next.loadLocalVersion();
}

void TestPatchManager::emptyObjectKeepsOnlyNewKeys()
{
    QVERIFY(writeAll(gameDir() + "/localversion.json", "{}"));
    FakeDisplay display;
    PatchManager manager;
    prepare(manager, display);
    manager.loadLocalVersion();
    manager.onDoneOnePatch(fileInfo("a.pak.patch", "add"), 1, 1);
    reloadAsAfterKill(display);
    const QJsonObject saved = readJson(gameDir() + "/localversion.json");
    QCOMPARE(saved.keys(), QStringList{"filelist"});
}

void TestPatchManager::doneOnePatchRecordsFiles()
{
    FakeDisplay display;
    PatchManager manager;
    prepare(manager, display);
    // A kill tore the last line of an earlier run: the next line starts anew.
    QVERIFY(writeAll(gameDir() + "/localversion.json.journal", "{\"name\": \"torn"));
    manager.loadLocalVersion();
    const DownloadFileInfo diff = fileInfo("Content\\Paks\\资源.pak.patch", "diff");
    manager.onDoneOnePatch(diff, 1, 4);
    manager.onDoneOnePatch(fileInfo("abc", "add"), 2, 4);
    manager.onDoneOnePatch(fileInfo("gone.dat.patch", "add"), 3, 4);
    manager.onDoneOnePatch(fileInfo("gone.dat.patch", "del"), 4, 4);
    manager.onDoneOnePatch(fileInfo("never.dat.patch", "del"), 4, 4);
    QCOMPARE(probe(manager).patchProgress.index(), 4);
    QCOMPARE(probe(manager).patchProgress.count(), 4);
    reloadAsAfterKill(display);
    QVERIFY(!QFile::exists(gameDir() + "/localversion.json.journal"));
    const QJsonObject files =
        readJson(gameDir() + "/localversion.json").value("filelist").toObject();
    QCOMPARE(files.keys(), (QStringList{"Content\\Paks\\资源.pak", "abc"}));
    const QJsonObject entry = files.value("Content\\Paks\\资源.pak").toObject();
    QCOMPARE(entry.value("name").toString(), QString("Content\\Paks\\资源.pak"));
    QCOMPARE(entry.value("md5").toString(), diff.md5);
}

void TestPatchManager::saveLocalVersionFailure()
{
    QVERIFY(writeAll(dir->filePath("blocker"), "a file where a folder should be"));
    FakeDisplay display;
    PatchManager manager;
    QList<TrackedEvent> events;
    recordEvents(manager, events);
    manager.init(&display, "http://127.0.0.1:1", patchDir(), dir->filePath("blocker/Drevna"));
    manager.loadLocalVersion();
    manager.saveLocalVersion();
    const QString text = dir->filePath("blocker/Drevna/localversion.json") + " 写入失败";
    QCOMPARE(probe(manager).state, 8);
    QCOMPARE(probe(manager).errorCode, 1);
    QCOMPARE(probe(manager).errorText, text);
    QCOMPARE(eventNames(events), QStringList{"update_error"});
    QCOMPARE(events[0].val1, text);
    manager.tick();
    QCOMPARE(display.calls.last(), "status:更新出错:" + text);
}

void TestPatchManager::chainSaveFailureOffGuiThread()
{
    QVERIFY(writeAll(dir->filePath("blocker"), "x"));
    FakeDisplay display;
    PatchManager manager;
    QList<TrackedEvent> events;
    recordEvents(manager, events);
    manager.init(&display, "http://127.0.0.1:1", dir->filePath("blocker/Patch"), gameDir());
    probe(manager).state = 5;
    bool saved = true;
    QScopedPointer<QThread> worker(QThread::create([&] {
        saved = manager.saveLocalPatchChain(PatchChain{{0, 1, "p", {}}});
    }));
    worker->start();
    QVERIFY(worker->wait(10000));
    QVERIFY(!saved);
    QCOMPARE(probe(manager).state, 5); // not yet: the report waits for the GUI thread
    QTRY_COMPARE(probe(manager).state, 8);
    QCOMPARE(probe(manager).errorCode, 1);
    QCOMPARE(probe(manager).errorText,
             dir->filePath("blocker/Patch/patchchain.json") + " 写入失败");
    QCOMPARE(events.size(), 1);
    QVERIFY(events[0].onGuiThread);

    // Good writes from two threads at once leave a complete file.
    PatchManager good;
    good.init(&display, "http://127.0.0.1:1", patchDir(), gameDir());
    PatchChain big;
    for (int i = 0; i < 200; ++i)
        big.append({i, i + 1, QString("step%1").arg(i), {fileInfo("f.patch", "diff")}});
    QScopedPointer<QThread> a(QThread::create([&] {
        for (int i = 0; i < 20; ++i)
            good.saveLocalPatchChain(big);
    }));
    a->start();
    for (int i = 0; i < 20; ++i)
        QVERIFY(good.saveLocalPatchChain(big));
    QVERIFY(a->wait(30000));
    QFile f(patchDir() + "/patchchain.json");
    QVERIFY(f.open(QIODevice::ReadOnly));
    bool ok = false;
    QCOMPARE(patchChainFromJson(f.readAll(), &ok).size(), 200);
    QVERIFY(ok);
}

void TestPatchManager::resumeWithSavedChain()
{
    // Every file is already applied, so the patch thread only reports them.
    DownloadFileInfo done = fileInfo("Bin\\g.exe.patch", "diff");
    done.hadPatch = true;
    const PatchChain saved{{10005, 10006, "10006", {done}}};
    QVERIFY(writeAll(patchDir() + "/patchchain.json", patchChainToJson(saved)));
    QVERIFY(writeAll(gameDir() + "/localversion.json",
                     R"({"version":10005,"start_apply_patch":true,"remote_version":10006})"));

    FakeDisplay display;
    PatchManager manager;
    manager.patchFinishSleepMs = 0;
    QList<TrackedEvent> events;
    recordEvents(manager, events);
    prepare(manager, display);
    LogCollector log;
    manager.start();
    QTRY_VERIFY(log.states().size() >= 3);
    QCOMPARE(log.states().mid(0, 3), (QList<int>{1, 5, 6}));
    QCOMPARE(events[1].name, QString("update_patch_start"));
    QCOMPARE(events[1].val1, QString("10006"));
    QCOMPARE(events[2].name, QString("update_patch_end"));
    QCOMPARE(events[2].val1, QString("10006"));
    QTRY_VERIFY(log.states().size() >= 5); // cleanup, then the second check
    QCOMPARE(log.states().mid(3, 2), (QList<int>{7, 1}));
    // The first request is the second check's patch list.
    const int firstRequest = log.indexOf("^download url:");
    QVERIFY(firstRequest == -1 || firstRequest > log.indexOf("^switch state 7 to 1$"));
    QVERIFY(!QDir(patchDir()).exists());
    const QJsonObject local = readJson(gameDir() + "/localversion.json");
    QCOMPARE(local.value("version").toInt(), 10006);
    QCOMPARE(local.value("start_apply_patch").toBool(), false);
    QCOMPARE(local.value("remote_version").toInt(), 0);
    for (const TrackedEvent& e : events)
        QVERIFY(e.onGuiThread);
}

void TestPatchManager::resumeWithoutChain_data()
{
    QTest::addColumn<QByteArray>("chainFile"); // null: no file
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("unreadable") << QByteArray("[{\"pre");
    QTest::newRow("empty") << QByteArray("[]");
    QTest::newRow("unsafe name") << patchChainToJson(
        {{10005, 10006, "10006", {fileInfo("..\\..\\x.dll.patch", "add")}}});
}

void TestPatchManager::resumeWithoutChain()
{
    QFETCH(QByteArray, chainFile);
    if (!chainFile.isNull())
        QVERIFY(writeAll(patchDir() + "/patchchain.json", chainFile));
    QVERIFY(writeAll(gameDir() + "/localversion.json",
                     R"({"version":10005,"start_apply_patch":true,"remote_version":10006})"));
    FakeDisplay display;
    PatchManager manager;
    prepare(manager, display);
    LogCollector log;
    manager.switchState(1);
    manager.tick();
    QCOMPARE(probe(manager).state, 2); // a normal check from the patch list
    QVERIFY(probe(manager).patchThread == nullptr);
    const QJsonObject local = readJson(gameDir() + "/localversion.json");
    QCOMPARE(local.value("version").toInt(), 10005);
    QCOMPARE(local.value("start_apply_patch").toBool(), false);
    QCOMPARE(local.value("remote_version").toInt(), 0);
}

void TestPatchManager::allDoneOutcome_data()
{
    QTest::addColumn<int>("earlierError"); // e.g. an MD5 mismatch repaired by a retry
    QTest::addColumn<bool>("patchError");
    QTest::addColumn<int>("state");
    QTest::newRow("clean") << 0 << false << 6;
    QTest::newRow("repaired download") << 1 << false << 6;
    QTest::newRow("patch failed") << 0 << true << 8;
}

void TestPatchManager::allDoneOutcome()
{
    QFETCH(int, earlierError);
    QFETCH(bool, patchError);
    QFETCH(int, state);
    FakeDisplay display;
    PatchManager manager;
    prepare(manager, display);
    manager.loadLocalVersion();
    probe(manager).localVersion.insert("remote_version", 10006);
    probe(manager).errorCode = earlierError;
    probe(manager).state = 5;
    if (patchError)
        manager.onPatchError(fileInfo("a.pak.patch", "diff"), -1000);
    manager.onAllDone();
    QCOMPARE(probe(manager).state, state);
    if (patchError)
        QCOMPARE(probe(manager).errorText, QString("应用补丁文件a.pak.patch diff失败"));
}

void TestPatchManager::downloadDisplay_data()
{
    QTest::addColumn<bool>("downloading");
    QTest::addColumn<qint64>("allFinished");
    QTest::addColumn<QString>("expected");
    QTest::newRow("checking")
        << false << qint64(1024)
        << "1.00MB|3.00MB|b.pak.patch 正在校验...|(1.00M/2.00M)|0.00B/s|--:--:--";
    QTest::newRow("downloading")
        << true << qint64(1024)
        << "1.00MB|3.00MB|b.pak.patch 下载中...|(1.00M/2.00M)|0.00B/s|--:--:--";
    QTest::newRow("finished beyond total")
        << true << qint64(4 * 1048576)
        << "3.00MB|3.00MB|b.pak.patch 下载中...|(1.00M/2.00M)|0.00B/s|--:--:--";
}

void TestPatchManager::downloadDisplay()
{
    QFETCH(bool, downloading);
    QFETCH(qint64, allFinished);
    QFETCH(QString, expected);
    FakeDisplay display;
    PatchManager manager;
    prepare(manager, display);
    probe(manager).downloads = {fileInfo("Content\\a\\b.pak.patch", "diff", 2 * 1048576)};
    probe(manager).downloadIndex = 0;
    probe(manager).state = 4;
    probe(manager).downloading = downloading;
    probe(manager).inFlight[0].started.start(); // 1 MiB of it on disk, counted as done
    probe(manager).onDisk[0] = 1048576;
    probe(manager).allTotal = 3 * 1048576;
    probe(manager).allFinished = allFinished;
    manager.tick();
    QCOMPARE(display.with("progress:"), QStringList{":0.5"});
    QCOMPARE(display.with("download:"), QStringList{expected});
}

void TestPatchManager::emptyFileKeepsProgressBar()
{
    FakeDisplay display;
    PatchManager manager;
    prepare(manager, display);
    probe(manager).downloads = {fileInfo("empty.dat", "add", 0)};
    probe(manager).downloadIndex = 0;
    probe(manager).state = 4;
    manager.tick();
    QCOMPARE(display.with("progress:"), QStringList{":nan"}); // a ratio the bar ignores
    QCOMPARE(display.with("download:").size(), 1);
}

void TestPatchManager::patchDisplay()
{
    FakeDisplay display;
    PatchManager manager;
    prepare(manager, display);
    probe(manager).state = 5;
    manager.onStartPatch(fileInfo("Bin\\g.exe.patch", "diff"), 2, 7);
    manager.onPatchProgress(0.999f);
    manager.tick();
    DownloadFileInfo full = fileInfo("big.pak", "diff", 3 * 1048576);
    manager.onStartDownFullPak(full, true);
    manager.tick();
    manager.onStartDownFullPak(full, false);
    manager.tick();
    QCOMPARE(display.with("status:"), (QStringList{"Bin\\g.exe.patch diff...[99%]补丁中 2/7",
                                                   "big.pak 0.00B/3.00MB...下载缺失文件",
                                                   "Bin\\g.exe.patch diff...[99%]补丁中 2/7"}));
}

void TestPatchManager::stepStatusTexts()
{
    FakeDisplay display;
    PatchManager manager;
    prepare(manager, display);
    probe(manager).chain = {
        {10006, 10007, "a", {}}, {10005, 10006, "b", {}}, {10004, 10005, "c", {}}};
    probe(manager).state = 3;
    manager.tick();
    probe(manager).state = 8;
    probe(manager).errorText = "x 下载失败";
    manager.tick();
    probe(manager).state = 2;
    manager.tick();
    QCOMPARE(display.with("status:"), (QStringList{"获取补丁文件列表:10005,10006,10007",
                                                   "更新出错:x 下载失败", "检查补丁信息:"}));
}

void TestPatchManager::finishedOnceAfterRecheck()
{
    EngineProbe::resetUpdateFinish();
    FakeDisplay display;
    PatchManager manager;
    QList<TrackedEvent> events;
    manager.eventHook = [&](const QString& n, const QString&, const QString&) {
        QVERIFY2(display.calls.contains("finished"), "reported before it is shown");
        events.append({n, {}, {}, true});
    };
    prepare(manager, display);
    probe(manager).state = 7;
    probe(manager).recheckCount = 0;
    for (int i = 0; i < 3; ++i)
        manager.tick();
    QCOMPARE(display.calls, (QStringList{"status:更新完成.", "finished", "status:更新完成.",
                                         "finished", "status:更新完成.", "finished"}));
    QCOMPARE(eventNames(events), QStringList{"update_finish"});
    PatchManager second;
    recordEvents(second, events);
    prepare(second, display);
    probe(second).state = 7;
    probe(second).recheckCount = 0;
    second.tick();
    QCOMPARE(events.size(), 1); // once per process
}

void TestPatchManager::cleanupRemovesPatchFolder()
{
    QVERIFY(writeAll(patchDir() + "/10006/a.pak.patch", "x"));
    FakeDisplay display;
    PatchManager manager;
    prepare(manager, display);
    probe(manager).state = 6;
    probe(manager).chain = {{10005, 10006, "10006", {}}};
    probe(manager).downloads = {fileInfo("a.pak.patch", "diff")};
    probe(manager).remoteVersion = 10006;
    probe(manager).allTotal = probe(manager).allFinished = probe(manager).onDisk[0] = 10;
    manager.tick();
    QVERIFY(!QDir(patchDir()).exists());
    QCOMPARE(probe(manager).state, 7);
    QCOMPARE(display.calls, QStringList{"status:清理本地缓存..."});
    QVERIFY(probe(manager).chain.isEmpty() && probe(manager).downloads.isEmpty());
    QCOMPARE(probe(manager).remoteVersion, 0);
    QCOMPARE(probe(manager).allTotal + probe(manager).allFinished + probe(manager).onDisk.size(),
             qint64(0));

    // Without a patch folder name nothing is removed (it would be the working directory).
    const QString workingDir = QDir::currentPath();
    QVERIFY(writeAll(gameDir() + "/kept", "x") && QDir::setCurrent(gameDir()));
    PatchManager unset;
    probe(unset).state = 6;
    unset.tick();
    QVERIFY(QDir::setCurrent(workingDir));
    QVERIFY(QFile::exists(gameDir() + "/kept"));
    QCOMPARE(probe(unset).state, 7);
}

void TestPatchManager::slowDownloadTiming()
{
    // Two files at once: one slow, one fast, over the same 1.8 s.
    FakeDisplay display;
    PatchManager slow, fast;
    QList<TrackedEvent> slowEvents, fastEvents;
    recordEvents(slow, slowEvents);
    recordEvents(fast, fastEvents);
    for (PatchManager* m : {&slow, &fast}) {
        prepare(*m, display);
        probe(*m).downloads = {fileInfo("dir\\slow.pak.patch", "add", 100 * 1048576)};
        probe(*m).downloadIndex = 0;
        probe(*m).state = 4;
        probe(*m).onDisk[0] = 50 * 1048576;
    }
    // Not yet started: never reported, however long it waits.
    slow.tick();
    QVERIFY(slowEvents.isEmpty());
    for (PatchManager* m : {&slow, &fast}) {
        probe(*m).inFlight[0].startBytes = 50 * 1048576;
        probe(*m).inFlight[0].started.start();
    }
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT((probe(slow).onDisk[0] += 100, slow.tick(),
                              probe(fast).onDisk[0] += 4096, fast.tick(), !slowEvents.isEmpty()),
                             5000);
    QVERIFY(probe(slow).inFlight[0].started.elapsed() > 1800);
    QVERIFY(clock.elapsed() >= 1800);
    QCOMPARE(slowEvents.size(), 1);
    QCOMPARE(slowEvents[0].name, QString("update_slow_download"));
    QCOMPARE(slowEvents[0].val1, QString("http://127.0.0.1:1/base/10006/dir\\slow.pak.patch"));
    QVERIFY(slowEvents[0].val2.toLongLong() < 10240);
    for (int i = 0; i < 3; ++i) {
        slow.tick();
        fast.tick();
    }
    QCOMPARE(slowEvents.size(), 1);
    QVERIFY(fastEvents.isEmpty());
}

void TestPatchManager::loopMovesWithoutTick()
{
    // Two files already complete (skipped by MD5), then many "del" entries.
    FakeDisplay display;
    PatchManager manager;
    prepare(manager, display);
    manager.patchFinishSleepMs = 0;
    for (const QString name : {"a.pak", "bb.pak"}) {
        QVERIFY(writeAll(patchDir() + "/10006/" + name, name.toUtf8()));
        probe(manager).downloads << fileInfo(name, "add", name.size());
        probe(manager).downloads.last().md5 =
            QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Md5).toHex();
    }
    for (int i = 0; i < 300; ++i)
        probe(manager).downloads << fileInfo(QString("gone%1").arg(i), "del");
    qint64 finishedAtPatching = -1;
    manager.eventHook = [&](const QString& n, const QString&, const QString&) {
        if (n == "update_patch_start")
            finishedAtPatching = probe(manager).allFinished;
    };
    LogCollector log;
    probe(manager).downloadIndex = -1;
    probe(manager).state = 4;
    manager.downloadNextPatchFile(); // the engine's timer is never started
    QTRY_COMPARE(finishedAtPatching, qint64(11));
    QCOMPARE(probe(manager).downloadIndex, probe(manager).downloads.size());
    QCOMPARE(log.matching("^finish download all patch file list$").size(), 1);
    QVERIFY(display.calls.isEmpty()); // drawing is the tick's alone
}

QTEST_GUILESS_MAIN(TestPatchManager)
#include "tst_patchmanager.moc"

// The update engine against the test HTTP server: patch list, file lists,
// downloads with MD5 skip, range resume and retry, and whole-file downloads
// for the patch thread.
#include "engineprobe.h"
#include "enginetest.h"
#include "httptestserver.h"
#include "patch/patchfile.h"
#include "patch/patchthread.h"
#include "smalldisk.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QWaitCondition>
#include <QtTest>

#include <algorithm>

namespace
{

// A file left on disk by an earlier run: the first `size` bytes of `bytes`,
// padded when longer, with its first byte changed when corrupt.
QByteArray leftover(const QByteArray& bytes, int size, bool corrupt)
{
    QByteArray existing = bytes.left(size) + QByteArray(qMax(0, size - bytes.size()), 'x');
    if (corrupt)
        existing[0] = char(existing[0] + 1);
    return existing;
}

struct ServedFile {
    QString name; // as listed, may hold backslashes
    QString type;
    QByteArray bytes;
    QString destMd5 = {}; // the bytes' own when empty
};

// A file list as the server stores it, with its own spacing, so that a
// byte-for-byte copy can be told from a re-serialised one.
QByteArray fileListJson(const QList<ServedFile>& files)
{
    QJsonArray list;
    for (const ServedFile& f : files)
        list.append(QJsonObject{{"name", f.name},
                                {"size", f.bytes.size()},
                                {"md5", md5Hex(f.bytes)},
                                {"type", f.type},
                                {"srcmd5", ""},
                                {"destmd5", f.destMd5.isEmpty() ? md5Hex(f.bytes) : f.destMd5}});
    return "{ \"filelist\" :\n" + QJsonDocument(list).toJson(QJsonDocument::Compact) + " }\r\n";
}

// Bytes of a size text such as "1.50KB".
double sizeBytes(const QString& text)
{
    const int unit = text.indexOf(QRegularExpression("[A-Z]"));
    return text.left(unit).toDouble() * double(1LL << (10 * QString("BKMG").indexOf(text[unit])));
}

QString urlPath(const QString& name)
{
    QString p = name;
    return p.replace('\\', '/');
}
} // namespace

class TestUpdateFlow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void nothingToDo_data();
    void nothingToDo();
    void updateThroughAllStates();
    void fullPackageResetsVersionFirst();
    void emptyFileListsSkipDownloads();
    void patchListErrors_data();
    void patchListErrors();
    void fileListErrors_data();
    void fileListErrors();
    void downloadLocalStates_data();
    void downloadLocalStates();
    void loopCounting_data();
    void loopCounting();
    void transferCount_data();
    void transferCount();
    void emptyFileOverStaleContent();
    void transferFailures_data();
    void transferFailures();
    void retryWaitsFiveSeconds();
    void slowDownloadReported();
    void resumableDownload_data();
    void resumableDownload();
    void diskFills_data();
    void diskFills();
    void spacePlan_data();
    void spacePlan();
    void repair_data();
    void repair();
    void pauseAndResume_data();
    void pauseAndResume();

private:
    void serveStep(const QString& step, const QList<ServedFile>& files);
    // patchlist.json of these steps (named by their paths) and, with a
    // path, a full package of version 10006 there.
    void servePatchList(const PatchChain& steps, const QString& fullPath = {});
    void serveSingleStepList() { servePatchList({{10005, 10006, "10006", {}}}); }
    void prepare(PatchManager& m)
    {
        m.init(&display, server->url("/base"), tmp->filePath("Patch"), tmp->filePath("Drevna"));
        probe(m).retryDelayMs = 200;
        m.patchFinishSleepMs = 0;
        recordEvents(m, events);
    }
    void setLocalVersion(int version)
    {
        QVERIFY(writeAll(tmp->filePath("Drevna/localversion.json"),
                         QJsonDocument(QJsonObject{{"version", version}}).toJson()));
    }
    QJsonObject localRecord() const
    {
        return QJsonDocument::fromJson(readAll(tmp->filePath("Drevna/localversion.json"))).object();
    }
    QString patchDir() const { return tmp->filePath("Patch"); }
    QScopedPointer<HttpTestServer> server;
    QScopedPointer<QTemporaryDir> tmp;
    FakeDisplay display;
    QList<TrackedEvent> events;
};

void TestUpdateFlow::init()
{
    server.reset(new HttpTestServer);
    QVERIFY(server->isListening());
    tmp.reset(new QTemporaryDir);
    display.calls.clear();
    events.clear();
    EngineProbe::resetUpdateFinish();
}

void TestUpdateFlow::cleanup()
{
    server.reset();
    tmp.reset();
}

void TestUpdateFlow::servePatchList(const PatchChain& steps, const QString& fullPath)
{
    QJsonObject patches;
    for (const PatchStep& s : steps)
        patches.insert(s.path, stepJson(s.preVersion, s.version, s.path));
    QJsonObject list{{"patchversion", patches}};
    if (!fullPath.isEmpty())
        list.insert("fullversion", stepJson(0, 10006, fullPath));
    server->setFile("/base/patchlist.json", QJsonDocument(list).toJson());
}

void TestUpdateFlow::serveStep(const QString& step, const QList<ServedFile>& files)
{
    server->setFile("/base/" + step + "/patchfiles.json", fileListJson(files));
    for (const ServedFile& f : files)
        server->setFile("/base/" + step + "/" + urlPath(f.name), f.bytes);
}

void TestUpdateFlow::nothingToDo_data()
{
    QTest::addColumn<QString>("leftover"); // what a killed run left in the patch folder
    QTest::newRow("clean") << "";
    QTest::newRow("leftover patch folder") << "files";
    QTest::newRow("leftover with a link out of it") << "link";
}

void TestUpdateFlow::nothingToDo()
{
    QFETCH(QString, leftover);
    serveSingleStepList();
    setLocalVersion(10006);
    const QString outside = tmp->filePath("outside/keep.txt");
    if (!leftover.isEmpty()) {
        QVERIFY(writeAll(patchDir() + "/patchchain.json", "[]"));
        QVERIFY(writeAll(patchDir() + "/10006/a.pak.patch", "delta"));
    }
    if (leftover == "link") {
        QVERIFY(writeAll(outside, "keep"));
        QVERIFY(QFile::link(tmp->filePath("outside"), patchDir() + "/10006/out"));
    }
    PatchManager manager;
    prepare(manager);
    LogCollector log;
    manager.start();
    QTRY_VERIFY(display.calls.contains("finished"));
    QVERIFY(!QFileInfo::exists(patchDir()));
    QCOMPARE(log.matching("^remove leftover patch folder").size(), leftover.isEmpty() ? 0 : 1);
    if (leftover == "link")
        QCOMPARE(readAll(outside), QByteArray("keep"));
    QCOMPARE(log.states(), (QList<int>{1, 2, 7, 1, 2, 7}));
    QCOMPARE(server->requests("/base/patchlist.json").size(), 2);
    QCOMPARE(server->requests().size(), 2);
    QVERIFY(server->requests().first().query().startsWith("time="));
    QVERIFY(display.with("kill:").isEmpty());
    QVERIFY(display.with("status:").contains("更新完成."));
    QTRY_VERIFY(display.with("finished").size() >= 3); // repeated on every tick
    QCOMPARE(eventNames(events).count("update_finish"), 1);
    QCOMPARE(eventNames(events).first(), QString("update_start"));
}

void TestUpdateFlow::updateThroughAllStates()
{
    // Three steps; each lists files of its own.
    const QList<ServedFile> s7{{"Content\\Paks\\new7.pak.patch", "add", bytePattern(70000, 1)},
                               {"old.dat.patch", "del", {}}};
    const QList<ServedFile> s6{{"Bin\\tool6.exe.patch", "add", bytePattern(3000, 2)}};
    const QList<ServedFile> s5{{"five.txt.patch", "add", bytePattern(10, 3)},
                               {"empty.bin.patch", "add", {}}};
    serveStep("10007", s7);
    serveStep("10006", s6);
    serveStep("10005", s5);
    servePatchList(
        {{10006, 10007, "10007", {}}, {10005, 10006, "10006", {}}, {10004, 10005, "10005", {}}});
    setLocalVersion(10004);
    PatchManager manager;
    prepare(manager);
    LogCollector log;
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished"), 20000);
    QCOMPARE(log.states(), (QList<int>{1, 2, 3, 4, 5, 6, 7, 1, 2, 7}));

    // Game processes are ended before any file list is requested.
    QCOMPARE(display.with("kill:"), (QStringList{"Drevna.exe", "Drevna-Win64-Shipping.exe"}));
    QStringList lists;
    for (const auto& r : server->requests())
        if (r.path().endsWith("patchfiles.json"))
            lists << QString::fromLatin1(r.path());
    QCOMPARE(lists, (QStringList{"/base/10007/patchfiles.json", "/base/10006/patchfiles.json",
                                 "/base/10005/patchfiles.json"}));
    QVERIFY(display.with("status:").contains("检测更新:本地版本号:10004"));
    QVERIFY(display.with("version:").contains("当前版本100.0.4|最新版本100.0.7"));

    // Every listed file but the "del" one was requested once, from its start.
    for (const char* p : {"/base/10007/Content/Paks/new7.pak.patch",
                          "/base/10006/Bin/tool6.exe.patch", "/base/10005/five.txt.patch"}) {
        QCOMPARE(server->requests(p).size(), 1);
        QCOMPARE(server->requests(p).first().header("Range"), QByteArray("bytes=0-"));
    }
    QVERIFY(server->requests("/base/10007/old.dat.patch").isEmpty());
    // An empty file is complete once created: no range request that can only fail.
    QVERIFY(server->requests("/base/10005/empty.bin.patch").isEmpty());
    QVERIFY(QFile::exists(tmp->filePath("Drevna/empty.bin")));

    const QStringList names = eventNames(events);
    QCOMPARE(names.count("update_patch_start"), 1);
    QCOMPARE(names.count("update_patch_end"), 1);
    QCOMPARE(names.count("update_finish"), 1);
    QCOMPARE(names.count("update_error"), 0);
    QVERIFY(!QDir(patchDir()).exists());

    const QJsonObject local = localRecord();
    QCOMPARE(local.value("version").toInt(), 10007);
    QCOMPARE(local.value("start_apply_patch").toBool(), false);
    QCOMPARE(readAll(tmp->filePath("Drevna/Content/Paks/new7.pak")), s7[0].bytes);
    QCOMPARE(readAll(tmp->filePath("Drevna/Bin/tool6.exe")), s6[0].bytes);
    QCOMPARE(readAll(tmp->filePath("Drevna/five.txt")), s5[0].bytes);
    for (const TrackedEvent& e : events)
        QVERIFY(e.onGuiThread);
}

void TestUpdateFlow::fullPackageResetsVersionFirst()
{
    const QList<ServedFile> full{{"all.pak.patch", "add", bytePattern(5000, 9)}};
    serveStep("full10006", full);
    servePatchList({{10005, 10006, "10006", {}}}, "full10006");
    setLocalVersion(10001);
    int versionAtListRequest = -1;
    connect(server.data(), &HttpTestServer::requestReceived, this,
            [&](const HttpTestServer::Request& r) {
                if (r.path().endsWith("patchfiles.json") && versionAtListRequest < 0)
                    versionAtListRequest = localRecord().value("version").toInt(-1);
            });
    PatchManager manager;
    prepare(manager);
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished"), 20000);
    QCOMPARE(versionAtListRequest, 0);
    QCOMPARE(server->requests("/base/full10006/patchfiles.json").size(), 1);
    QVERIFY(display.with("version:").contains("当前版本0.0.0|最新版本100.0.6"));
    QCOMPARE(readAll(tmp->filePath("Drevna/all.pak")), full[0].bytes);
}

void TestUpdateFlow::emptyFileListsSkipDownloads()
{
    server->setFile("/base/10006/patchfiles.json", R"({"filelist": []})");
    server->setFile("/base/10007/patchfiles.json", R"({"filelist": []})");
    servePatchList({{10005, 10006, "10006", {}}, {10006, 10007, "10007", {}}});
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    LogCollector log;
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished"), 10000);
    QCOMPARE(log.states(), (QList<int>{1, 2, 3, 4, 5, 6, 7, 1, 2, 7}));
    QVERIFY(display.with("download:").isEmpty());
    QCOMPARE(server->requests().size(), 4); // two patch lists, two file lists
    QCOMPARE(localRecord().value("version").toInt(), 10007);
}

void TestUpdateFlow::patchListErrors_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("array") << QByteArray("[1,2]") << 0 << 2 << "解码错误";
    QTest::newRow("empty object") << QByteArray("{}") << 0 << 2 << "解码错误";
    QTest::newRow("not json") << QByteArray("<html>") << 0 << 2 << "解码错误";
    QTest::newRow("missing") << QByteArray() << 404 << 2 << "下载失败";
    QTest::newRow("no chain") << QByteArray(R"({"patchversion":{"a":{"version":10006,
                                  "preversion":10003,"path":"p"}}})")
                              << 0 << 4 << "";
}

void TestUpdateFlow::patchListErrors()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(int, code);
    QFETCH(QString, text);
    if (status == 0)
        server->setFile("/base/patchlist.json", body);
    setLocalVersion(10001);
    PatchManager manager;
    prepare(manager);
    manager.start();
    QTRY_COMPARE(probe(manager).state, 8);
    QCOMPARE(probe(manager).errorCode, code);
    if (code == 4) {
        QCOMPARE(probe(manager).errorText, QString("补丁校验失败"));
    } else {
        const QRegularExpression re(
            "^" + QRegularExpression::escape(server->url("/base/patchlist.json")) +
            "\\?time=\\d+ " + text + "$");
        QVERIFY2(re.match(probe(manager).errorText).hasMatch(),
                 qPrintable(probe(manager).errorText));
    }
    QTRY_VERIFY(display.with("status:").contains("更新出错:" + probe(manager).errorText));
    QCOMPARE(eventNames(events).count("update_error"), 1);
    QVERIFY(display.with("kill:").isEmpty());
}

void TestUpdateFlow::fileListErrors_data()
{
    QTest::addColumn<QByteArray>("body"); // null: not served
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("array") << QByteArray("[]") << 3 << "配置解析失败";
    QTest::newRow("not json") << QByteArray("nope") << 3 << "配置解析失败";
    QTest::newRow("no filelist array") << QByteArray(R"({"files": []})") << 3 << "配置解析失败";
    QTest::newRow("missing") << QByteArray() << 2 << "下载失败";
    QTest::newRow("parent folder")
        << fileListJson({{"ok.pak.patch", "add", "1"}, {"..\\..\\evil.dll.patch", "add", "2"}}) << 3
        << "配置解析失败";
    QTest::newRow("drive") << fileListJson({{"C:\\evil.dll.patch", "del", ""}}) << 3
                           << "配置解析失败";
}

void TestUpdateFlow::fileListErrors()
{
    QFETCH(QByteArray, body);
    QFETCH(int, code);
    QFETCH(QString, text);
    servePatchList({{10005, 10006, "s6", {}}});
    if (!body.isNull())
        server->setFile("/base/s6/patchfiles.json", body);
    server->setFile("/base/s6/ok.pak.patch", "1");
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    manager.start();
    QTRY_COMPARE(probe(manager).state, 8);
    QCOMPARE(probe(manager).errorCode, code);
    const QRegularExpression re(
        "^" + QRegularExpression::escape(server->url("/base/s6/patchfiles.json")) +
        "\\?time=\\d+ " + text + "$");
    QVERIFY2(re.match(probe(manager).errorText).hasMatch(), qPrintable(probe(manager).errorText));
    QVERIFY(!QFile::exists(patchDir() + "/s6/patchfiles.json"));
    QVERIFY(server->requests("/base/s6/ok.pak.patch").isEmpty());
    QVERIFY(probe(manager).downloads.isEmpty());
    QVERIFY(!QFile::exists(tmp->filePath("evil.dll.patch")));
}

void TestUpdateFlow::downloadLocalStates_data()
{
    QTest::addColumn<int>("localSize"); // -1: no local file
    QTest::addColumn<bool>("localCorrupt");
    QTest::addColumn<bool>("ignoreRange");
    QTest::addColumn<QStringList>("ranges"); // of every request for the file
    QTest::addColumn<bool>("repaired");      // an MD5 mismatch, retried as a failed transfer
    QTest::newRow("new file") << -1 << false << false << QStringList{"bytes=0-"} << false;
    QTest::newRow("complete, skipped") << 40000 << false << false << QStringList{} << false;
    QTest::newRow("partial, resumed")
        << 12345 << false << false << QStringList{"bytes=12345-"} << false;
    QTest::newRow("partial, range ignored")
        << 12345 << false << true << QStringList{"bytes=12345-", "bytes=0-"} << true;
    QTest::newRow("full size, wrong content")
        << 40000 << true << false << QStringList{"bytes=0-"} << false;
    QTest::newRow("longer than listed")
        << 50000 << false << false << QStringList{"bytes=0-"} << false;
    QTest::newRow("partial, wrong content")
        << 100 << true << false << QStringList{"bytes=100-", "bytes=0-"} << true;
}

void TestUpdateFlow::downloadLocalStates()
{
    QFETCH(int, localSize);
    QFETCH(bool, localCorrupt);
    QFETCH(bool, ignoreRange);
    QFETCH(QStringList, ranges);
    QFETCH(bool, repaired);
    const QByteArray bytes = bytePattern(40000, 5);
    serveStep("10006", {{"sub\\data.pak.patch", "add", bytes}, {"next.bin.patch", "add", "next"}});
    serveSingleStepList();
    if (ignoreRange) {
        HttpTestServer::Fault fault;
        fault.ignoreRange = true;
        server->setFault("/base/10006/sub/data.pak.patch", fault);
    }
    const QString local = patchDir() + "/10006/sub/data.pak.patch";
    if (localSize >= 0)
        QVERIFY(writeAll(local, leftover(bytes, localSize, localCorrupt)));
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    probe(manager).recheckCount = 0;
    // The downloads as they are when patching starts, before the patch
    // thread moves them into the game folder.
    QByteArray atPatching, nextAtPatching;
    bool patching = false;
    qint64 totalAtPatching = -1; // the cleanup that may follow at once clears it
    manager.eventHook = [&](const QString& n, const QString& a, const QString& b) {
        events.append({n, a, b, true});
        if (n == "update_patch_start") {
            patching = true;
            atPatching = readAll(local);
            totalAtPatching = probe(manager).allTotal;
            nextAtPatching = readAll(patchDir() + "/10006/next.bin.patch");
        }
    };
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(patching, 10000);
    QCOMPARE(atPatching, bytes);
    QCOMPARE(nextAtPatching, QByteArray("next"));
    QStringList seen;
    for (const auto& r : server->requests("/base/10006/sub/data.pak.patch"))
        seen << QString::fromLatin1(r.header("Range"));
    QCOMPARE(seen, ranges);
    QCOMPARE(probe(manager).errorCode, repaired ? 2 : 0);
    QCOMPARE(eventNames(events).count("update_error"), repaired ? 1 : 0);
    QCOMPARE(totalAtPatching, qint64(40004));
    // A repaired mismatch does not keep the run from finishing.
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished"), 10000);
    QCOMPARE(readAll(tmp->filePath("Drevna/sub/data.pak")), bytes);
}

void TestUpdateFlow::loopCounting_data()
{
    // a.pak.patch, large enough to be hashed on the worker thread, then
    // b.pak.patch (12000 bytes, or a "del" entry).
    QTest::addColumn<QString>("failing");
    // answered with 500; 0: starts from a wrong partial file; -1: reset after 1 MiB once
    QTest::addColumn<int>("failTimes");
    QTest::addColumn<bool>("lastDeleted");
    QTest::addColumn<int>("requests");  // of the failing file
    QTest::addColumn<int>("errorCode"); // 1: a folder in b's way
    // A file counts in allFinished once, however often it was attempted.
    QTest::newRow("clean") << "" << 0 << false << 0 << 0;
    QTest::newRow("last fails twice") << "b" << 2 << false << 3 << 2;
    QTest::newRow("first fails its md5") << "a" << 0 << false << 2 << 2;
    QTest::newRow("first fails, last deleted") << "a" << 1 << true << 2 << 2;
    // The two files are in transfer together: the reset one is fetched again
    // while the other goes on.
    QTest::newRow("first reset, fetched again beside the last") << "a" << -1 << false << 2 << 2;
    QTest::newRow("both fail, each shown until its own retry") << "ab" << 1 << false << 2 << 2;
    // The loop stops: a's failure neither shows over the error nor comes again.
    QTest::newRow("last cannot be written") << "a" << 1 << false << 1 << 1;
}

void TestUpdateFlow::loopCounting()
{
    QFETCH(QString, failing);
    QFETCH(int, failTimes);
    QFETCH(bool, lastDeleted);
    QFETCH(int, requests);
    QFETCH(int, errorCode);
    const QByteArray a = bytePattern(3 * 1048576 + 17, 1), b = bytePattern(12000, 2);
    serveStep("10006",
              {{"a.pak.patch", "add", a}, {"b.pak.patch", lastDeleted ? "del" : "add", b}});
    serveSingleStepList();
    // The tick still draws a transfer: a, slow, started first, to its end.
    HttpTestServer::Fault slow, fault;
    slow.bytesPerSecond = 3000000;
    server->setFault("/base/10006/a.pak.patch", slow);
    fault.status = failTimes < 0 ? 0 : 500;
    fault.dropAfterBytes = failTimes < 0 ? 1048576 : -1;
    fault.times = qAbs(failTimes);
    for (const QChar file : failing)
        if (failTimes)
            server->setFault("/base/10006/" + QString(file) + ".pak.patch", fault);
        else
            QVERIFY(writeAll(patchDir() + "/10006/" + file + ".pak.patch", "not the start"));
    QVERIFY(errorCode != 1 || QDir().mkpath(patchDir() + "/10006/b.pak.patch/in-the-way"));
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    probe(manager).recheckCount = 0;
    qint64 finishedAtPatching = -1;
    manager.eventHook = [&](const QString& n, const QString&, const QString&) {
        if (n == "update_patch_start")
            finishedAtPatching = probe(manager).allFinished;
    };
    LogCollector log;
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished") || probe(manager).errorCode == 1,
                             15000);
    QList<double> done; // never going back, across retries and fresh starts
    for (const QString& line : display.with("download:"))
        done << sizeBytes(line.section('|', 0, 0));
    QVERIFY(std::is_sorted(done.begin(), done.end()));
    if (errorCode == 1) { // nothing more: no retry of a, no text over the error
        QVERIFY(!QTest::qWaitFor([&] { return server->requests().size() > 3; }, 1000));
        QVERIFY(probe(manager).errorText.endsWith("b.pak.patch 写入失败"));
        return;
    }
    QCOMPARE(finishedAtPatching, a.size() + (lastDeleted ? 0 : b.size()));
    QCOMPARE(probe(manager).downloadFailures, 0);
    QCOMPARE(probe(manager).errorCode, errorCode);
    // After a reset Qt may send the request once more itself, so only the
    // file's content tells there.
    for (const QChar file : failing)
        QVERIFY(failTimes < 0 ||
                server->requests("/base/10006/" + QString(file) + ".pak.patch").size() == requests);
    QVERIFY(failing.size() < 2 || log.matching(" to 4$").size() == 2);
    QCOMPARE(readAll(tmp->filePath("Drevna/a.pak")), a);
    QCOMPARE(readAll(tmp->filePath("Drevna/b.pak")), lastDeleted ? QByteArray() : b);
    // With a failure the other file runs during the 5 s wait, shown as the error.
    if (failing.isEmpty())
        QVERIFY(display.with("download:").filter("a.pak.patch 下载中...").size() >= 3 &&
                display.with("download:").last().contains("a.pak.patch 下载中..."));
}

void TestUpdateFlow::transferCount_data()
{
    QTest::addColumn<int>("delayMs"); // before each answer: a distant server
    QTest::addColumn<int>("status");  // of the first `times` answers
    QTest::addColumn<int>("times");
    QTest::addColumn<int>("reach"); // N: the number rises to N or more; -N: falls to N
    // Twice as many paid each time: 8, 16, 32.
    QTest::newRow("many small files far away: rises") << 60 << 0 << 0 << 32;
    QTest::newRow("failures: falls") << 0 << 503 << 40 << -PatchDownloader::minTransfers;
}

// The number of files in transfer follows the rate, within its bounds, with
// one log line for each change.
void TestUpdateFlow::transferCount()
{
    QFETCH(int, delayMs);
    QFETCH(int, status);
    QFETCH(int, times);
    QFETCH(int, reach);
    QList<ServedFile> files;
    for (int i = 0; i < 300; ++i)
        files.append({QString("f%1.bin.patch").arg(i), "add", bytePattern(2048, i)});
    serveStep("10006", files);
    serveSingleStepList();
    HttpTestServer::Fault fault;
    fault.delayMs = delayMs;
    fault.status = status;
    fault.times = times ? times : -1;
    server->setGlobalFault(fault);
    server->setFault("/base/patchlist.json", {});
    server->setFault("/base/10006/patchfiles.json", {});
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    probe(manager).recheckCount = 0;
    probe(manager).adaptWindowMs = 250;
    LogCollector log(false);
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished"), 60000);
    const QRegularExpression change("^transfers (\\d+) -> (\\d+) ");
    QList<int> counts{PatchDownloader::startTransfers};
    for (const QString& line : log.matching(change.pattern())) {
        const QRegularExpressionMatch m = change.match(line);
        QCOMPARE(m.captured(1).toInt(), counts.last());
        counts << m.captured(2).toInt();
    }
    const int extreme = reach > 0 ? *std::max_element(counts.begin(), counts.end())
                                  : -*std::min_element(counts.begin(), counts.end());
    QVERIFY2(extreme >= reach, qPrintable(log.matching(change.pattern()).join('\n')));
    for (const int n : counts)
        QVERIFY(n >= PatchDownloader::minTransfers && n <= PatchDownloader::ceilingTransfers);
    QCOMPARE(readAll(tmp->filePath("Drevna/f299.bin")), files.last().bytes);
}

// An empty listed file over a stale non-empty one: a range request for it
// could only be refused, and the 5 s retry would repeat without end.
void TestUpdateFlow::emptyFileOverStaleContent()
{
    serveStep("10006", {{"empty.ini.patch", "add", ""}, {"next.bin.patch", "add", "next"}});
    serveSingleStepList();
    QVERIFY(writeAll(patchDir() + "/10006/empty.ini.patch", "stale"));
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    probe(manager).recheckCount = 0;
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished") || probe(manager).state == 8,
                             10000);
    QCOMPARE(probe(manager).errorText, QString());
    QVERIFY(display.calls.contains("finished"));
    QVERIFY(server->requests("/base/10006/empty.ini.patch").isEmpty());
    QVERIFY(QFileInfo::exists(tmp->filePath("Drevna/empty.ini")));
    QCOMPARE(readAll(tmp->filePath("Drevna/empty.ini")), QByteArray());
}

void TestUpdateFlow::transferFailures_data()
{
    QTest::addColumn<int>("localSize"); // of a correct partial file; -1: none
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("failures");
    QTest::addColumn<QStringList>("ranges"); // of every request for the file
    QTest::newRow("server error twice") << -1 << 500 << QByteArray("<html>server error</html>") << 2
                                        << QStringList{"bytes=0-", "bytes=0-", "bytes=0-"};
    QTest::newRow("redirect") << -1 << 302 << QByteArray("moved") << 1
                              << QStringList{"bytes=0-", "bytes=0-"};
    QTest::newRow("wrong content")
        << -1 << 200 << QByteArray("not the file") << 1 << QStringList{"bytes=0-", "bytes=0-"};
    QTest::newRow("range refused")
        << 100 << 416 << QByteArray() << 1 << QStringList{"bytes=100-", "bytes=0-"};
    QTest::newRow("endless answer") // status -N: N (1: 200) with a body without end
        << -1 << -1 << QByteArray() << 1 << QStringList{"bytes=0-", "bytes=0-"};
    QTest::newRow("server error with an endless body")
        << -1 << -503 << QByteArray() << 1 << QStringList{"bytes=0-", "bytes=0-"};
}

// Each failed transfer is shown and retried after the delay, and the count
// in its text goes up until a transfer succeeds.
void TestUpdateFlow::transferFailures()
{
    QFETCH(int, localSize);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, failures);
    QFETCH(QStringList, ranges);
    const QByteArray bytes = bytePattern(30000, 4);
    serveStep("10006", {{"a.pak.patch", "add", bytes}});
    serveSingleStepList();
    HttpTestServer::Fault fail;
    fail.status = status == -1 ? 0 : qAbs(status);
    fail.endless = status < 0;
    fail.body = body;
    fail.times = failures;
    if (status == 302)
        fail.headers = {{"Location", server->url("/elsewhere").toLatin1()}};
    server->setFault("/base/10006/a.pak.patch", fail);
    if (localSize >= 0)
        QVERIFY(writeAll(patchDir() + "/10006/a.pak.patch", leftover(bytes, localSize, false)));
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    probe(manager).recheckCount = 0;
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished"), 15000);
    QStringList texts;
    for (const TrackedEvent& e : events)
        if (e.name == "update_error")
            texts << e.val1;
    QCOMPARE(texts.size(), failures);
    const QString url = QRegularExpression::escape(server->url("/base/10006/a.pak.patch"));
    for (int i = 0; i < failures; ++i) {
        const QRegularExpression re("^" + url + "\\?time=\\d+ 下载失败\\(" +
                                    QString::number(i + 1) + "\\),5s后重试$");
        QVERIFY2(re.match(texts[i]).hasMatch(), qPrintable(texts[i]));
    }
    QVERIFY(display.with("status:").contains("更新出错:" + texts[0]));
    QStringList seen;
    for (const auto& r : server->requests("/base/10006/a.pak.patch"))
        seen << QString::fromLatin1(r.header("Range"));
    QCOMPARE(seen, ranges);
    QCOMPARE(probe(manager).downloadFailures, 0);
    QCOMPARE(readAll(tmp->filePath("Drevna/a.pak")), bytes);
}

void TestUpdateFlow::retryWaitsFiveSeconds()
{
    serveStep("10006", {{"a.pak.patch", "add", "abc"}});
    serveSingleStepList();
    HttpTestServer::Fault fail;
    fail.status = 503;
    fail.times = 1;
    server->setFault("/base/10006/a.pak.patch", fail);
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    probe(manager).retryDelayMs = 5000;
    probe(manager).recheckCount = 0;
    // Timed from the error report itself, and to the retry's arrival.
    QElapsedTimer sinceError;
    qint64 retryAfter = -1;
    manager.eventHook = [&](const QString& n, const QString&, const QString&) {
        if (n == "update_error")
            sinceError.start();
    };
    connect(server.data(), &HttpTestServer::requestReceived, this,
            [&](const HttpTestServer::Request& r) {
                if (r.path().endsWith("a.pak.patch") && sinceError.isValid() && retryAfter < 0)
                    retryAfter = sinceError.elapsed();
            });
    manager.start();
    QTRY_COMPARE(probe(manager).state, 8);
    QTRY_VERIFY(display.with("status:").last().startsWith("更新出错:"));
    // The error stays on screen until the retry.
    QVERIFY(!QTest::qWaitFor([&] { return probe(manager).state != 8; }, 4000));
    QTRY_VERIFY_WITH_TIMEOUT(retryAfter >= 0, 4000);
    // A coarse 5 s timer may fire up to 5 % early.
    QVERIFY2(retryAfter >= 4750, qPrintable(QString::number(retryAfter)));
    QCOMPARE(server->requests("/base/10006/a.pak.patch").size(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished"), 10000);
}

void TestUpdateFlow::slowDownloadReported()
{
    // A fast file started after it tells nothing of the slow one.
    serveStep("10006", {{"slow.pak.patch", "add", bytePattern(12000, 6)},
                        {"fast.pak.patch", "add", bytePattern(200000, 7)}});
    serveSingleStepList();
    HttpTestServer::Fault slow;
    slow.bytesPerSecond = 4000;
    server->setFault("/base/10006/slow.pak.patch", slow);
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    probe(manager).recheckCount = 0;
    QElapsedTimer sinceRequest;
    connect(server.data(), &HttpTestServer::requestReceived, this,
            [&](const HttpTestServer::Request& r) {
                if (r.path().endsWith("slow.pak.patch"))
                    sinceRequest.start();
            });
    qint64 reportedAfter = -1;
    manager.eventHook = [&](const QString& n, const QString& url, const QString&) {
        if (n == "update_slow_download" && reportedAfter < 0)
            reportedAfter = sinceRequest.isValid() ? sinceRequest.elapsed() : 0;
        events.append({n, url, {}, true});
    };
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(probe(manager).state >= 5, 10000);
    QCOMPARE(eventNames(events).count("update_slow_download"), 1);
    QCOMPARE(events[eventNames(events).indexOf("update_slow_download")].val1,
             server->url("/base/10006/slow.pak.patch"));
    // Measured from the request's arrival, a little after the transfer's
    // clock started; the exact 1800 ms bound is checked without a network.
    QVERIFY2(reportedAfter >= 1700, qPrintable(QString::number(reportedAfter)));
}

void TestUpdateFlow::resumableDownload_data()
{
    QTest::addColumn<int>("localSize"); // -1: none
    QTest::addColumn<QString>("md5");   // "upper", "wrong" or "" (right, lower case)
    QTest::addColumn<int>("status");    // fault status, 0 = none
    QTest::addColumn<bool>("blocked");  // the local file cannot be opened
    QTest::addColumn<bool>("success");
    QTest::addColumn<bool>("retry");
    QTest::addColumn<QString>("range"); // "" = no request
    QTest::addColumn<qint64>("received");
    QTest::addColumn<bool>("kept");    // the local file exists afterwards
    QTest::addColumn<bool>("corrupt"); // the local file's first byte is wrong
    QTest::newRow("new") << -1 << "" << 0 << false << true << false << "bytes=0-" << qint64(20000)
                         << true << false;
    QTest::newRow("complete") << 20000 << "" << 0 << false << true << false << "" << qint64(0)
                              << true << false;
    QTest::newRow("partial") << 5000 << "" << 0 << false << true << false << "bytes=5000-"
                             << qint64(20000) << true << false;
    QTest::newRow("longer") << 25000 << "" << 0 << false << true << false << "bytes=0-"
                            << qint64(20000) << true << false;
    QTest::newRow("upper-case md5 verifies a transfer")
        << -1 << "upper" << 0 << false << true << false << "bytes=0-" << qint64(20000) << true
        << false;
    // A range after the end of a complete file could only be refused.
    QTest::newRow("upper-case md5 never skips, fetched afresh")
        << 20000 << "upper" << 0 << false << true << false << "bytes=0-" << qint64(20000) << true
        << false;
    QTest::newRow("full size, wrong content") << 20000 << "" << 0 << false << true << false
                                              << "bytes=0-" << qint64(20000) << true << true;
    QTest::newRow("range refused") << 5000 << "" << 416 << false << false << true << "bytes=5000-"
                                   << qint64(5000) << false << false;
    QTest::newRow("md5 mismatch") << -1 << "wrong" << 0 << false << false << true << "bytes=0-"
                                  << qint64(20000) << false << false;
    QTest::newRow("server error") << -1 << "" << 500 << false << false << true << "bytes=0-"
                                  << qint64(0) << true << false;
    QTest::newRow("cannot open") << -1 << "" << 0 << true << false << false << "" << qint64(0)
                                 << false << false;
}

void TestUpdateFlow::resumableDownload()
{
    QFETCH(int, localSize);
    QFETCH(QString, md5);
    QFETCH(int, status);
    QFETCH(bool, blocked);
    QFETCH(bool, success);
    QFETCH(bool, retry);
    QFETCH(QString, range);
    QFETCH(qint64, received);
    QFETCH(bool, kept);
    QFETCH(bool, corrupt);
    const QByteArray bytes = bytePattern(20000, 8);
    server->setFile("/base/10006_full/Bin/whole.exe", bytes);
    if (status) {
        HttpTestServer::Fault fault;
        fault.status = status;
        fault.body = "error page";
        server->setFault("/base/10006_full/Bin/whole.exe", fault);
    }
    QString localPath = tmp->filePath("Patch/10006/Bin/whole.exe.patch_full");
    if (blocked) {
        QVERIFY(writeAll(tmp->filePath("file"), "x"));
        localPath = tmp->filePath("file/whole_full");
    }
    if (localSize >= 0)
        QVERIFY(writeAll(localPath, leftover(bytes, localSize, corrupt)));
    PatchManager manager;
    prepare(manager);
    PatchThread thread(PatchChain(), patchDir(), tmp->filePath("Drevna"), false, &manager);
    DownloadFileInfo f;
    f.name = "Bin\\whole.exe";
    f.path = "10006_full";
    f.size = bytes.size();
    f.md5 = md5 == "upper"   ? md5Hex(bytes).toUpper()
            : md5 == "wrong" ? md5Hex("other")
                             : md5Hex(bytes);

    // The caller waits on another thread, as the patch thread does.
    QMutex mutex;
    QWaitCondition cond;
    bool done = false, gotSuccess = false, gotRetry = false;
    QThread* doneThread = nullptr;
    QScopedPointer<QThread> worker(QThread::create([&] {
        manager.downloadFileResumable(&thread, localPath, f, [&](bool s, bool r) {
            QMutexLocker lock(&mutex);
            gotSuccess = s;
            gotRetry = r;
            done = true;
            doneThread = QThread::currentThread();
            cond.wakeAll();
        });
        QMutexLocker lock(&mutex);
        while (!done)
            cond.wait(&mutex);
    }));
    worker->start();
    QTRY_VERIFY(worker->isFinished());
    QCOMPARE(gotSuccess, success);
    QCOMPARE(gotRetry, retry);
    const QList<HttpTestServer::Request> requests =
        server->requests("/base/10006_full/Bin/whole.exe");
    if (range.isEmpty()) {
        QVERIFY(requests.isEmpty());
        QCOMPARE(doneThread, worker.data()); // decided early, on the caller's thread
    } else {
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().header("Range"), range.toLatin1());
        QCOMPARE(doneThread, QThread::currentThread());
    }
    QCOMPARE(thread.fullReceived.load(), received);
    QCOMPARE(QFile::exists(localPath), kept);
    if (success)
        QCOMPARE(readAll(localPath), bytes);
    if (status)
        QCOMPARE(readAll(localPath), QByteArray()); // no error page in the file
}

void TestUpdateFlow::diskFills_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("size");   // of the file that no longer fits
    QTest::addColumn<int>("room");   // left when its transfer starts
    QTest::addColumn<bool>("whole"); // fetched whole after its patch failed
    // A small file arrives in one piece; a large one's last chunk comes
    // apart after a pause, when only part of it still fits.
    for (int kind : {int(SmallDisk::Tmpfs), int(SmallDisk::FileSizeLimit)}) {
        const char* k = kind == SmallDisk::Tmpfs ? "tmpfs" : "file size limit";
        QTest::addRow("%s: small file", k) << kind << 10000 << 4096 << false;
        QTest::addRow("%s: last chunk of a large file", k) << kind << 204900 << 200704 << false;
        QTest::addRow("%s: last chunk of a whole file", k) << kind << 204900 << 200704 << true;
    }
}

// The disk fills during an update: the player sees the error, no game file
// is replaced by a shorter one, and once there is room again the next run
// installs every file exactly.
void TestUpdateFlow::diskFills()
{
    QFETCH(int, kind);
    QFETCH(int, size);
    QFETCH(int, room);
    QFETCH(bool, whole);
    SmallDisk disk(SmallDisk::Kind(kind), tmp->path());
    if (!disk.isReady())
        QSKIP(qPrintable(disk.errorString()));

    const QByteArray after = bytePattern(size, 2);
    const QByteArray before = whole ? bytePattern(3000, 3) : QByteArray(); // null: no game file
    const QString game = tmp->filePath("Drevna/b.bin");
    QString filledBy = "/base/10006/b.bin.patch"; // on its arrival the disk fills
    if (whole) {
        // Not a patch at all: the whole file comes from the "_full" folder.
        serveStep("10006", {{"b.bin.patch", "diff", "no patch"}});
        // The whole file must be what the patch would have made.
        server->setFile("/base/10006/patchfiles.json",
                        fileListJson({{"b.bin.patch", "diff", "no patch"}})
                            .replace("\"destmd5\":\"" + md5Hex("no patch").toLatin1(),
                                     "\"destmd5\":\"" + md5Hex(after).toLatin1()));
        server->setFile("/base/10006_full/patchfiles.json",
                        fileListJson({{"b.bin.patch", "add", after}}));
        filledBy = "/base/10006_full/b.bin.patch";
        server->setFile(filledBy, after);
        QVERIFY(writeAll(game, before));
    } else {
        serveStep("10006", {{"b.bin.patch", "add", after}});
    }
    HttpTestServer::Fault pause;
    pause.stallAfterBytes = 200000;
    pause.stallMs = 300;
    server->setFault(filledBy, pause);
    serveSingleStepList();
    setLocalVersion(10005);

    bool filled = false, fillWorked = false;
    auto hook = connect(server.data(), &HttpTestServer::requestReceived, this,
                        [&](const HttpTestServer::Request& r) {
                            if (!filled && r.path() == filledBy.toLatin1()) {
                                filled = true;
                                fillWorked = disk.fill(room);
                            }
                        });
    {
        PatchManager manager;
        prepare(manager);
        probe(manager).retryDelayMs = 60000; // one failure is enough
        probe(manager).recheckCount = 0;
        manager.start();
        // A full disk seen before the whole file's next attempt is named as such.
        const QRegularExpression re(
            whole ? "^(应用补丁文件b\\.bin\\.patch diff失败|磁盘空间不足,还需要.+)$"
                  : "下载失败\\(1\\),5s后重试$");
        QTRY_VERIFY_WITH_TIMEOUT(
            probe(manager).state == 8 && re.match(probe(manager).errorText).hasMatch(), 20000);
        QVERIFY2(fillWorked, qPrintable(disk.errorString()));
        QTRY_VERIFY(display.with("status:").contains("更新出错:" + probe(manager).errorText));
    }
    QCOMPARE(readAll(game), before);
    QCOMPARE(QFileInfo::exists(game), whole);

    disconnect(hook);
    disk.release();
    server->clearFaults();
    display.calls.clear();
    PatchManager manager;
    prepare(manager);
    probe(manager).recheckCount = 0;
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished") || probe(manager).state == 8,
                             20000);
    QCOMPARE(probe(manager).errorText, QString());
    QCOMPARE(md5Hex(readAll(game)), md5Hex(after));
    QCOMPARE(localRecord().value("version").toInt(), 10006);
}

void TestUpdateFlow::spacePlan_data()
{
    // Bytes left free (-1: all) against 8 KiB to fetch and 16 KiB for the
    // patched file beside the old one; a game room of -1: one filesystem.
    QTest::addColumn<int>("patchRoom");
    QTest::addColumn<int>("gameRoom");
    QTest::addColumn<QString>("shortfall");
    // "add" of a new file, or a "diff" of the old one; "growing": a patch that
    // makes it 2 MiB longer; "broken": one that fails, so that its 2 MiB whole
    // file is fetched instead. These two are seen only once downloaded.
    QTest::addColumn<QString>("kind");
    QTest::newRow("short") << 20480 << -1 << "4.00KB"
                           << "diff";
    QTest::newRow("exactly enough") << 24576 << -1 << ""
                                    << "diff";
    QTest::newRow("ample") << -1 << -1 << ""
                           << "diff";
    QTest::newRow("two filesystems") << 8192 << 16384 << ""
                                     << "diff";
    QTest::newRow("two filesystems, game short") << 1048576 << 8192 << "8.00KB"
                                                 << "diff";
    QTest::newRow("two filesystems, a new file") << 1048576 << 4096 << "4.00KB"
                                                 << "add";
    QTest::newRow("a patch growing its file past the room") << 24576 << -1 << "MB"
                                                            << "growing";
    QTest::newRow("a whole file past the room") << 24576 << -1 << "MB"
                                                << "broken";
}

// Short of room, nothing is fetched and the player learns how much is missing.
void TestUpdateFlow::spacePlan()
{
    QFETCH(int, patchRoom);
    QFETCH(int, gameRoom);
    QFETCH(QString, shortfall);
    QFETCH(QString, kind);
    const bool add = kind == "add";
    QVERIFY(QDir().mkpath(patchDir()) && QDir().mkpath(tmp->filePath("Drevna")));
    SmallDisk disk(SmallDisk::Tmpfs, gameRoom >= 0 ? patchDir() : tmp->path());
    // A file size limit that is never set: no second filesystem.
    SmallDisk game(gameRoom >= 0 ? SmallDisk::Tmpfs : SmallDisk::FileSizeLimit,
                   tmp->filePath("Drevna"));
    if (!disk.isReady())
        QSKIP(qPrintable(disk.errorString()));
    const QByteArray old = bytePattern(16384, 6), longer = old + QByteArray(2 << 20, 0);
    const QString made[] = {tmp->filePath("old"), tmp->filePath("new"), tmp->filePath("patch")};
    QVERIFY(writeAll(made[0], old) && writeAll(made[1], longer) &&
            createPatchFile(made[0].toUtf8(), made[1].toUtf8(), made[2].toUtf8()) == 0);
    const QByteArray patch = kind == "growing"  ? readAll(made[2])
                             : kind == "broken" ? readAll(made[2]).left(100)
                                                : bytePattern(8192, 4);
    serveStep("10006", {{"b.bin.patch", add ? "add" : "diff", patch, md5Hex(longer)}});
    if (kind == "broken")
        serveStep("10006_full", {{"b.bin.patch", "add", longer}});
    serveSingleStepList();
    setLocalVersion(10005);
    QVERIFY(add || writeAll(tmp->filePath("Drevna/b.bin"), old));
    QVERIFY(QFile::remove(made[0]) && QFile::remove(made[1]) && QFile::remove(made[2]));
    // The stored file list takes one page.
    QVERIFY((patchRoom < 0 || disk.fill(patchRoom + 4096)) &&
            (gameRoom < 0 || game.fill(gameRoom)));
    PatchManager manager;
    prepare(manager);
    manager.start();
    QTRY_VERIFY(probe(manager).state == 8);
    const bool planned = kind == "diff" || add;
    QCOMPARE(server->requests("/base/10006/b.bin.patch").isEmpty(),
             planned && !shortfall.isEmpty());
    QVERIFY(server->requests("/base/10006_full/b.bin.patch").isEmpty());
    QCOMPARE(probe(manager).errorText.startsWith("磁盘空间不足,还需要") &&
                 probe(manager).errorText.endsWith(shortfall),
             !shortfall.isEmpty());
    QVERIFY(add || readAll(tmp->filePath("Drevna/b.bin")) == old); // never half-applied
    QTRY_VERIFY(display.with("status:").contains("更新出错:" + probe(manager).errorText));
}

// The engine waits while `copy` runs, once its first file is installed or
// (beforeChain) right before the patch chain is written: what a kill at that
// moment would leave, copied aside.
struct KilledAfterOneFile : PatchManager {
    QString copy; // a shell command
    bool beforeChain = false;
    bool pauseAfterFile = false; // the player pauses instead
    bool recordPatchDone(int version, int index, const QString& name) override
    {
        const bool recorded = PatchManager::recordPatchDone(version, index, name);
        if (std::exchange(pauseAfterFile, false))
            QMetaObject::invokeMethod(
                this, [this] { pauseDownloads(); }, Qt::BlockingQueuedConnection);
        if (!beforeChain && !copy.isEmpty())
            QProcess::execute("sh", {"-c", std::exchange(copy, QString())});
        return recorded;
    }
    bool saveLocalPatchChain(const PatchChain& chain) override
    {
        if (beforeChain && !copy.isEmpty())
            QProcess::execute("sh", {"-c", std::exchange(copy, QString())});
        return PatchManager::saveLocalPatchChain(chain);
    }
};

void TestUpdateFlow::repair_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("repaired"); // as the last run reports it
    QTest::addColumn<int>("fetched");  // requests for files, the update's too
    QTest::newRow("damaged bytes") << "flip" << 1 << 1;
    QTest::newRow("cut short") << "cut" << 1 << 1;
    QTest::newRow("deleted") << "delete" << 1 << 1;
    QTest::newRow("extra player file kept") << "extra" << 0 << 0;
    QTest::newRow("out of date: update first, then repair") << "old" << 1 << 2;
    QTest::newRow("asked for while the update waits to retry") << "retry" << 1 << 3;
    // Killed once a.pak is in; the next run installs b.bin from what it left.
    QTest::newRow("killed halfway, then run again") << "halfway" << 0 << 2;
    // An update that failed once its first list was in; asked for before it.
    QTest::newRow("after a failed update, from a fresh list") << "failed" << 0 << 1;
    // Killed before its chain is written, over a chain a finished run left:
    // the next start must not take that one for this update's.
    QTest::newRow("update killed over a leftover chain") << "leftover" << 0 << 1;
}

// Only the files that differ from the full package's list are fetched; a
// file it does not name is left alone, and nothing temporary stays.
void TestUpdateFlow::repair()
{
    QFETCH(QString, damage);
    QFETCH(int, repaired);
    QFETCH(int, fetched);
    const QByteArray a = bytePattern(5000, 1), b = bytePattern(3000, 2), c = bytePattern(700, 3);
    serveStep("full10006",
              {{"a.pak.patch", "add", a}, {"b.bin.patch", "add", b}, {"c.txt.patch", "add", c}});
    serveStep("10006", {{"c.txt.patch", "add", c}});
    serveStep("10005", {{"b.bin.patch", "add", b}});
    const bool failed = damage == "failed";
    servePatchList(failed ? PatchChain{{10004, 10005, "10005", {}}, {10005, 10006, "10006", {}}}
                          : PatchChain{{10005, 10006, "10006", {}}},
                   "full10006");
    const bool old = QString("old retry failed leftover").contains(damage);
    setLocalVersion(failed ? 10004 : old ? 10005 : 10006);
    HttpTestServer::Fault once;
    once.status = 500, once.times = 1;
    server->setFault(damage == "retry" ? "/base/10006/c.txt.patch"
                     : failed          ? "/base/10005/patchfiles.json"
                                       : "/none",
                     once);
    QVERIFY(damage != "leftover" || writeAll(patchDir() + "/patchchain.json",
                                             R"([{"preVersion": 10004, "version": 10005,
                                                 "path": "10005", "files": []}])"));
    QByteArray damaged = damage == "cut" ? a.left(100) : a;
    damaged[10] = char(damaged[10] + QString("old retry flip halfway").contains(damage));
    const QString game = tmp->filePath("Drevna/");
    QVERIFY(writeAll(game + "a.pak", damaged) && writeAll(game + "player.sav", "mine"));
    QVERIFY(QString("delete halfway").contains(damage) || writeAll(game + "b.bin", b));
    QVERIFY(old || writeAll(game + "c.txt", c));
    std::unique_ptr<KilledAfterOneFile> manager;
    const QString cd = "cd " + tmp->path() + " && ";
    const bool twoRuns = damage == "halfway" || damage == "leftover";
    for (int run = twoRuns ? 0 : 1; run < 2; ++run) {
        // The second run starts from the folders as the first one's kill left them.
        QVERIFY(run == 0 || !twoRuns ||
                QProcess::execute(
                    "sh", {"-c", cd + "rm -r Drevna && mv killed/* . && rmdir killed"}) == 0);
        manager = std::make_unique<KilledAfterOneFile>();
        manager->copy = run ? "" : cd + "mkdir killed && cp -a Drevna Patch killed";
        manager->beforeChain = damage == "leftover";
        display.calls.clear();
        events.clear();
        prepare(*manager);
        if (damage != "retry")
            manager->requestRepair(); // runs once the start-up update has finished
        manager->start();
        // A failed download's retry is still to come: the update goes on. A
        // failed update is over, and so is the repair that waited for it.
        QTRY_VERIFY(damage != "retry" || probe(*manager).state == 8);
        QTRY_VERIFY(!failed || (probe(*manager).state == 8 && !manager->busy()));
        if (damage == "retry" || failed)
            manager->requestRepair();
        QTRY_VERIFY(display.calls.contains("finished"));
    }
    QVERIFY(display.with("status:").contains(repaired ? "修复完成,已修复1个文件" : "游戏文件完好"));
    QCOMPARE(readAll(game + "a.pak") + readAll(game + "b.bin") + readAll(game + "c.txt") +
                 readAll(game + "player.sav"),
             a + b + c + "mine");
    QCOMPARE(QDir(tmp->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), {"Drevna"});
    QCOMPARE(QDir(game).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QString("a.pak b.bin c.txt localversion.json player.sav").split(' '));
    const QJsonObject record = localRecord();
    QVERIFY(record.value("version") == 10006 && !record.value("start_apply_patch").toBool());
    for (const QJsonValue f : record.value("filelist").toObject())
        QCOMPARE(f["md5"].toString(), md5Hex(readAll(game + f["name"].toString())));
    QCOMPARE(server->requests("/base/full10006/a.pak.patch").size() +
                 server->requests("/base/full10006/b.bin.patch").size() +
                 server->requests("/base/10006/c.txt.patch").size(),
             fetched);
    QCOMPARE(display.calls.contains("kill:Drevna.exe"), repaired > 0 || old); // files in use stay
    QCOMPARE(eventNames(events).count("repair_start"), 1);
    QCOMPARE(events.last().name + events.last().val1, "repair_end" + QString::number(repaired));
    QVERIFY(display.calls.contains("finished") && !manager->busy());
}

void TestUpdateFlow::pauseAndResume_data()
{
    QTest::addColumn<int>("done");                 // the bytes at the first pause, of 305700
    QTest::newRow("during a file list") << 105000; // one transfer at a time
    QTest::newRow("mid-file") << 105700;
    QTest::newRow("during a retry wait") << 105000; // of c.txt.patch
    QTest::newRow("during patching") << 305700;     // once a.pak is in
    QTest::newRow("mid-file, twice in a row") << 105700;
    QTest::newRow("mid-file, then killed") << 105700;
    QTest::newRow("during patching, then killed") << 305700;
}

// Paused (big.pak.patch stalled, or patching), nothing is fetched or applied
// and the display says so; then each file goes on from its partial bytes.
void TestUpdateFlow::pauseAndResume()
{
    QFETCH(int, done);
    const QString point = QTest::currentDataTag(), game = tmp->filePath("Drevna/");
    const bool patching = point.contains("patching"), retry = point.contains("retry");
    const QList<ServedFile> files{{"a.pak.patch", "add", bytePattern(5000, 1)},
                                  {"big.pak.patch", "add", bytePattern(300000, 2)},
                                  {"c.txt.patch", "add", bytePattern(700, 3)}};
    serveStep("10006", files);
    serveSingleStepList();
    setLocalVersion(10005);
    HttpTestServer::Fault stall, fail; // a stall sends 100000 bytes, then nothing
    stall.stallAfterBytes = 100000, stall.times = fail.times = 1, fail.status = 500;
    server->setFault(retry ? "/base/10006/c.txt.patch" : "/none", fail);
    QHash<QByteArray, qint64> served; // body bytes of each file
    connect(server.data(), &HttpTestServer::replyEnded, this,
            [&](const QByteArray& path, qint64 bytes) { served[path] += bytes; });
    std::unique_ptr<KilledAfterOneFile> manager;
    auto start = [&](bool first) {
        manager = std::make_unique<KilledAfterOneFile>(); // the last one ends as if killed
        prepare(*manager);
        probe(*manager).retryDelayMs = 500;
        probe(*manager).maxTransfers = point.contains("list") ? 1 : 8;
        manager->pauseAfterFile = patching && first;
        manager->start();
    };
    const auto tracked = [&] {
        return events.last().name + ' ' + events.last().val1 + '/' + events.last().val2;
    };
    start(true);
    for (int i = 1; i <= 1 + point.contains("twice"); ++i, done += 100000) {
        server->setFault(patching ? "/none" : "/base/10006/big.pak.patch", stall);
        QTRY_VERIFY(patching
                        ? manager->isPaused()
                        : QFileInfo(patchDir() + "/10006/big.pak.patch").size() == 100000 * i &&
                              (!retry || probe(*manager).state == 8));
        manager->pauseDownloads();
        QCOMPARE(tracked(), QString("update_pause %1/305700").arg(done));
        QTRY_VERIFY(display.calls.last().endsWith(
            patching ? "status:下载已暂停,已应用补丁 1/3"
                     : QString("|下载已暂停|(0.%1M/0.29M)||").arg(9 * i + 1)));
        const auto moved = [&] {
            return server->requests().size() + QFile::exists(game + "big.pak");
        };
        const int before = moved();
        QVERIFY(!QTest::qWaitFor([&] { return moved() > before; }, 800));
        QCOMPARE(probe(*manager).state, retry ? 8 : patching ? 5 : 4);
        point.contains("killed") ? start(false) : manager->resumeDownloads();
        QVERIFY(point.contains("killed") ||
                tracked() == QString("update_resume %1/305700").arg(done));
    }
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished"), 15000);
    QCOMPARE(QDir(tmp->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), {"Drevna"});
    QCOMPARE(QDir(game).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QString("a.pak big.pak c.txt localversion.json").split(' '));
    for (const ServedFile& f : files) {
        QCOMPARE(readAll(game + f.name.chopped(6)), f.bytes);
        QTRY_COMPARE(served.value("/base/10006/" + f.name.toLatin1()), qint64(f.bytes.size()));
    }
}

// The suite gets a mount namespace of its own before any thread starts, so
// that its small file systems are seen by no other process.
int main(int argc, char** argv)
{
    SmallDisk::enterOwnMountNamespace();
    QCoreApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestUpdateFlow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_updateflow.moc"

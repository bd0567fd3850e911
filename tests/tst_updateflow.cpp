// The update engine against the test HTTP server: patch list, file lists,
// downloads with MD5 skip, range resume and retry, and whole-file downloads
// for the patch thread.
#include "enginetest.h"
#include "httptestserver.h"
#include "patch/patchthread.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QTemporaryDir>
#include <QWaitCondition>
#include <QtTest>

namespace
{
QString md5Of(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QByteArray content(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7 + i / 251);
    return bytes;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeText(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QJsonObject stepJson(int pre, int version, const QString& path)
{
    return {{"preversion", pre}, {"version", version}, {"path", path}};
}

struct ServedFile {
    QString name; // as listed, may hold backslashes
    QString type;
    QByteArray bytes;
};

// A file list as the server stores it, with its own spacing, so that a
// byte-for-byte copy can be told from a re-serialised one.
QByteArray fileListJson(const QList<ServedFile>& files)
{
    QJsonArray list;
    for (const ServedFile& f : files)
        list.append(QJsonObject{{"name", f.name},
                                {"size", f.bytes.size()},
                                {"md5", md5Of(f.bytes)},
                                {"type", f.type},
                                {"srcmd5", ""},
                                {"destmd5", md5Of(f.bytes)}});
    return "{ \"filelist\" :\n" + QJsonDocument(list).toJson(QJsonDocument::Compact) + " }\r\n";
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
    void emptyFileOverStaleContent();
    void retryCountsFailures();
    void retryWaitsFiveSeconds();
    void slowDownloadReported();
    void resumableDownload_data();
    void resumableDownload();

private:
    void serveStep(const QString& step, const QList<ServedFile>& files);
    void serveSingleStepList();
    void prepare(PatchManager& m)
    {
        m.init(&display, server->url("/base"), tmp->filePath("Patch"), tmp->filePath("Drevna"));
        m.retryDelayMs = 200;
        m.patchFinishSleepMs = 0;
        recordEvents(m, events);
    }
    void setLocalVersion(int version)
    {
        writeText(tmp->filePath("Drevna/localversion.json"),
                  QJsonDocument(QJsonObject{{"version", version}}).toJson());
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
    PatchManager::updateFinishSent = false;
}

void TestUpdateFlow::cleanup()
{
    server.reset();
    tmp.reset();
}

// The patch list of most cases: one step from 10005 to 10006 in "10006".
void TestUpdateFlow::serveSingleStepList()
{
    server->setFile(
        "/base/patchlist.json",
        QJsonDocument(
            QJsonObject{{"patchversion", QJsonObject{{"a", stepJson(10005, 10006, "10006")}}}})
            .toJson());
}

void TestUpdateFlow::serveStep(const QString& step, const QList<ServedFile>& files)
{
    server->setFile("/base/" + step + "/patchfiles.json", fileListJson(files));
    for (const ServedFile& f : files)
        server->setFile("/base/" + step + "/" + urlPath(f.name), f.bytes);
}

void TestUpdateFlow::nothingToDo()
{
    serveSingleStepList();
    setLocalVersion(10006);
    PatchManager manager;
    prepare(manager);
    LogCollector log;
    manager.start();
    QTRY_VERIFY(display.calls.contains("finished"));
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
    const QList<ServedFile> s7{{"Content\\Paks\\new7.pak.patch", "add", content(70000, 1)},
                               {"old.dat.patch", "del", {}}};
    const QList<ServedFile> s6{{"Bin\\tool6.exe.patch", "add", content(3000, 2)}};
    const QList<ServedFile> s5{{"five.txt.patch", "add", content(10, 3)},
                               {"empty.bin.patch", "add", {}}};
    serveStep("10007", s7);
    serveStep("10006", s6);
    serveStep("10005", s5);
    server->setFile(
        "/base/patchlist.json",
        QJsonDocument(
            QJsonObject{{"patchversion", QJsonObject{{"x", stepJson(10006, 10007, "10007")},
                                                     {"y", stepJson(10005, 10006, "10006")},
                                                     {"z", stepJson(10004, 10005, "10005")}}}})
            .toJson());
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

    const QJsonObject local =
        QJsonDocument::fromJson(readAll(tmp->filePath("Drevna/localversion.json"))).object();
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
    const QList<ServedFile> full{{"all.pak.patch", "add", content(5000, 9)}};
    serveStep("full10006", full);
    server->setFile("/base/patchlist.json",
                    QJsonDocument(QJsonObject{{"patchversion",
                                               QJsonObject{{"a", stepJson(10005, 10006, "10006")}}},
                                              {"fullversion", stepJson(0, 10006, "full10006")}})
                        .toJson());
    setLocalVersion(10001);
    int versionAtListRequest = -1;
    connect(server.data(), &HttpTestServer::requestReceived, this,
            [&](const HttpTestServer::Request& r) {
                if (r.path().endsWith("patchfiles.json") && versionAtListRequest < 0)
                    versionAtListRequest =
                        QJsonDocument::fromJson(readAll(tmp->filePath("Drevna/localversion.json")))
                            .object()
                            .value("version")
                            .toInt(-1);
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
    server->setFile(
        "/base/patchlist.json",
        QJsonDocument(
            QJsonObject{{"patchversion", QJsonObject{{"a", stepJson(10005, 10006, "10006")},
                                                     {"b", stepJson(10006, 10007, "10007")}}}})
            .toJson());
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    LogCollector log;
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished"), 10000);
    QCOMPARE(log.states(), (QList<int>{1, 2, 3, 4, 5, 6, 7, 1, 2, 7}));
    QVERIFY(display.with("download:").isEmpty());
    QCOMPARE(server->requests().size(), 4); // two patch lists, two file lists
    QCOMPARE(QJsonDocument::fromJson(readAll(tmp->filePath("Drevna/localversion.json")))
                 .object()
                 .value("version")
                 .toInt(),
             10007);
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
    QTRY_COMPARE(manager.state, 8);
    QCOMPARE(manager.errorCode, code);
    if (code == 4) {
        QCOMPARE(manager.errorText, QString("补丁校验失败"));
    } else {
        const QRegularExpression re(
            "^" + QRegularExpression::escape(server->url("/base/patchlist.json")) +
            "\\?time=\\d+ " + text + "$");
        QVERIFY2(re.match(manager.errorText).hasMatch(), qPrintable(manager.errorText));
    }
    QTRY_VERIFY(display.with("status:").contains("更新出错:" + manager.errorText));
    QCOMPARE(eventNames(events).count("update_error"), 1);
    QVERIFY(display.with("kill:").isEmpty());
}

void TestUpdateFlow::fileListErrors_data()
{
    QTest::addColumn<QByteArray>("body"); // null: not served
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("stored");
    QTest::newRow("array") << QByteArray("[]") << 3 << "配置解析失败" << true;
    QTest::newRow("not json") << QByteArray("nope") << 3 << "配置解析失败" << true;
    QTest::newRow("missing") << QByteArray() << 2 << "下载失败" << false;
    QTest::newRow("parent folder")
        << fileListJson({{"ok.pak.patch", "add", "1"}, {"..\\..\\evil.dll.patch", "add", "2"}}) << 3
        << "配置解析失败" << false;
    QTest::newRow("absolute") << fileListJson({{"/etc/evil.patch", "add", "1"}}) << 3
                              << "配置解析失败" << false;
    QTest::newRow("drive") << fileListJson({{"C:\\evil.dll.patch", "del", ""}}) << 3
                           << "配置解析失败" << false;
}

void TestUpdateFlow::fileListErrors()
{
    QFETCH(QByteArray, body);
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(bool, stored);
    server->setFile("/base/patchlist.json",
                    QJsonDocument(QJsonObject{{"patchversion",
                                               QJsonObject{{"a", stepJson(10005, 10006, "s6")}}}})
                        .toJson());
    if (!body.isNull())
        server->setFile("/base/s6/patchfiles.json", body);
    server->setFile("/base/s6/ok.pak.patch", "1");
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    manager.start();
    QTRY_COMPARE(manager.state, 8);
    QCOMPARE(manager.errorCode, code);
    const QRegularExpression re(
        "^" + QRegularExpression::escape(server->url("/base/s6/patchfiles.json")) +
        "\\?time=\\d+ " + text + "$");
    QVERIFY2(re.match(manager.errorText).hasMatch(), qPrintable(manager.errorText));
    QCOMPARE(QFile::exists(patchDir() + "/s6/patchfiles.json"), stored);
    if (stored)
        QCOMPARE(readAll(patchDir() + "/s6/patchfiles.json"), body);
    QVERIFY(server->requests("/base/s6/ok.pak.patch").isEmpty());
    QVERIFY(manager.downloads.isEmpty());
    QVERIFY(!QFile::exists(tmp->filePath("evil.dll.patch")));
}

void TestUpdateFlow::downloadLocalStates_data()
{
    QTest::addColumn<int>("localSize"); // -1: no local file
    QTest::addColumn<bool>("localCorrupt");
    QTest::addColumn<bool>("ignoreRange");
    QTest::addColumn<QStringList>("ranges"); // of every request for the file
    QTest::addColumn<bool>("repaired");      // errorCode 1 from an MD5 mismatch
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
    const QByteArray bytes = content(40000, 5);
    serveStep("10006", {{"sub\\data.pak.patch", "add", bytes}, {"next.bin.patch", "add", "next"}});
    serveSingleStepList();
    if (ignoreRange) {
        HttpTestServer::Fault fault;
        fault.ignoreRange = true;
        server->setFault("/base/10006/sub/data.pak.patch", fault);
    }
    const QString local = patchDir() + "/10006/sub/data.pak.patch";
    if (localSize >= 0) {
        QByteArray existing = localSize <= bytes.size()
                                  ? bytes.left(localSize)
                                  : bytes + QByteArray(localSize - bytes.size(), 'x');
        if (localCorrupt)
            existing[0] = char(existing[0] + 1);
        writeText(local, existing);
    }
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    manager.recheckCount = 0;
    // The downloads as they are when patching starts, before the patch
    // thread moves them into the game folder.
    QByteArray atPatching, nextAtPatching;
    qint64 totalAtPatching = -1; // the cleanup that may follow at once clears it
    manager.eventHook = [&](const QString& n, const QString&, const QString&) {
        if (n == "update_patch_start") {
            atPatching = readAll(local);
            totalAtPatching = manager.allTotal;
            nextAtPatching = readAll(patchDir() + "/10006/next.bin.patch");
        }
    };
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(manager.state >= 5, 10000);
    QCOMPARE(atPatching, bytes);
    QCOMPARE(nextAtPatching, QByteArray("next"));
    QStringList seen;
    for (const auto& r : server->requests("/base/10006/sub/data.pak.patch"))
        seen << QString::fromLatin1(r.header("Range"));
    QCOMPARE(seen, ranges);
    QCOMPARE(manager.errorCode, repaired ? 1 : 0);
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
    QTest::addColumn<int>("failTimes"); // answered with 500; 0: starts from a wrong partial file
    QTest::addColumn<bool>("lastDeleted");
    QTest::addColumn<int>("requests"); // of the failing file
    QTest::addColumn<int>("errorCode");
    // Every new attempt at a file counts its size once more in allFinished.
    QTest::newRow("clean") << "" << 0 << false << 0 << 0;
    QTest::newRow("last fails twice") << "b" << 2 << false << 3 << 2;
    QTest::newRow("first fails its md5") << "a" << 0 << false << 2 << 1;
    QTest::newRow("first fails, last deleted") << "a" << 1 << true << 2 << 2;
}

void TestUpdateFlow::loopCounting()
{
    QFETCH(QString, failing);
    QFETCH(int, failTimes);
    QFETCH(bool, lastDeleted);
    QFETCH(int, requests);
    QFETCH(int, errorCode);
    const QByteArray a = content(3 * 1048576 + 17, 1), b = content(12000, 2);
    serveStep("10006",
              {{"a.pak.patch", "add", a}, {"b.pak.patch", lastDeleted ? "del" : "add", b}});
    serveSingleStepList();
    // The tick still draws a transfer, now that the loop moves on by itself.
    HttpTestServer::Fault slow, fault;
    slow.bytesPerSecond = 20000;
    server->setFault("/base/10006/b.pak.patch", slow);
    fault.status = 500;
    fault.times = failTimes;
    if (failTimes)
        server->setFault("/base/10006/" + failing + ".pak.patch", fault);
    else if (!failing.isEmpty())
        writeText(patchDir() + "/10006/" + failing + ".pak.patch", "not the start");
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    manager.recheckCount = 0;
    qint64 finishedAtPatching = -1;
    manager.eventHook = [&](const QString& n, const QString&, const QString&) {
        if (n == "update_patch_start")
            finishedAtPatching = manager.allFinished;
    };
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished"), 15000);
    const qint64 size = failing == "a" ? a.size() : failing == "b" ? b.size() : 0;
    QCOMPARE(finishedAtPatching, a.size() + (lastDeleted ? 0 : b.size()) + (requests - 1) * size);
    QCOMPARE(manager.downloadFailures, 0);
    QCOMPARE(manager.errorCode, errorCode);
    if (!failing.isEmpty())
        QCOMPARE(server->requests("/base/10006/" + failing + ".pak.patch").size(), requests);
    QCOMPARE(readAll(tmp->filePath("Drevna/a.pak")), a);
    QCOMPARE(readAll(tmp->filePath("Drevna/b.pak")), lastDeleted ? QByteArray() : b);
    if (failing != "b" && !lastDeleted)
        QVERIFY(display.with("download:").filter("b.pak.patch 下载中...").size() >= 3);
}

// An empty listed file over a stale non-empty one: a range request for it
// could only be refused, and the 5 s retry would repeat without end.
void TestUpdateFlow::emptyFileOverStaleContent()
{
    serveStep("10006", {{"empty.ini.patch", "add", ""}, {"next.bin.patch", "add", "next"}});
    serveSingleStepList();
    writeText(patchDir() + "/10006/empty.ini.patch", "stale");
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    manager.recheckCount = 0;
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished") || manager.state == 8, 10000);
    QCOMPARE(manager.errorText, QString());
    QVERIFY(display.calls.contains("finished"));
    QVERIFY(server->requests("/base/10006/empty.ini.patch").isEmpty());
    QVERIFY(QFileInfo::exists(tmp->filePath("Drevna/empty.ini")));
    QCOMPARE(readAll(tmp->filePath("Drevna/empty.ini")), QByteArray());
}

void TestUpdateFlow::retryCountsFailures()
{
    const QByteArray bytes = content(30000, 4);
    serveStep("10006", {{"a.pak.patch", "add", bytes}});
    serveSingleStepList();
    HttpTestServer::Fault fail;
    fail.status = 500;
    fail.body = "<html>server error</html>";
    fail.times = 2;
    server->setFault("/base/10006/a.pak.patch", fail);
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    manager.recheckCount = 0;
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished"), 15000);
    QStringList texts;
    for (const TrackedEvent& e : events)
        if (e.name == "update_error")
            texts << e.val1;
    QCOMPARE(texts.size(), 2);
    const QString url = QRegularExpression::escape(server->url("/base/10006/a.pak.patch"));
    QVERIFY2(QRegularExpression("^" + url + "\\?time=\\d+ 下载失败\\(1\\),5s后重试$")
                 .match(texts[0])
                 .hasMatch(),
             qPrintable(texts[0]));
    QVERIFY(QRegularExpression("^" + url + "\\?time=\\d+ 下载失败\\(2\\),5s后重试$")
                .match(texts[1])
                .hasMatch());
    QVERIFY(display.with("status:").contains("更新出错:" + texts[0]));
    QCOMPARE(server->requests("/base/10006/a.pak.patch").size(), 3);
    QCOMPARE(manager.downloadFailures, 0);
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
    manager.retryDelayMs = 5000;
    manager.recheckCount = 0;
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
    QTRY_COMPARE(manager.state, 8);
    QTRY_VERIFY(display.with("status:").last().startsWith("更新出错:"));
    // The error stays on screen until the retry.
    QVERIFY(!QTest::qWaitFor([&] { return manager.state != 8; }, 4000));
    QTRY_VERIFY_WITH_TIMEOUT(retryAfter >= 0, 4000);
    // A coarse 5 s timer may fire up to 5 % early.
    QVERIFY2(retryAfter >= 4750, qPrintable(QString::number(retryAfter)));
    QCOMPARE(server->requests("/base/10006/a.pak.patch").size(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(display.calls.contains("finished"), 10000);
}

void TestUpdateFlow::slowDownloadReported()
{
    serveStep("10006", {{"slow.pak.patch", "add", content(12000, 6)}});
    serveSingleStepList();
    HttpTestServer::Fault slow;
    slow.bytesPerSecond = 4000;
    server->setFault("/base/10006/slow.pak.patch", slow);
    setLocalVersion(10005);
    PatchManager manager;
    prepare(manager);
    manager.recheckCount = 0;
    QElapsedTimer sinceRequest;
    connect(server.data(), &HttpTestServer::requestReceived, this,
            [&](const HttpTestServer::Request& r) {
                if (r.path().endsWith("slow.pak.patch"))
                    sinceRequest.start();
            });
    qint64 reportedAfter = -1;
    manager.eventHook = [&](const QString& n, const QString&, const QString&) {
        if (n == "update_slow_download" && reportedAfter < 0)
            reportedAfter = sinceRequest.isValid() ? sinceRequest.elapsed() : 0;
        events.append({n, {}, {}, true});
    };
    manager.start();
    QTRY_VERIFY_WITH_TIMEOUT(manager.state >= 5, 10000);
    QCOMPARE(eventNames(events).count("update_slow_download"), 1);
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
    QTest::addColumn<bool>("kept"); // the local file exists afterwards
    QTest::newRow("new") << -1 << "" << 0 << false << true << false << "bytes=0-" << qint64(20000)
                         << true;
    QTest::newRow("complete") << 20000 << "" << 0 << false << true << false << "" << qint64(0)
                              << true;
    QTest::newRow("partial") << 5000 << "" << 0 << false << true << false << "bytes=5000-"
                             << qint64(20000) << true;
    QTest::newRow("longer") << 25000 << "" << 0 << false << true << false << "bytes=0-"
                            << qint64(20000) << true;
    QTest::newRow("upper-case md5 verifies a transfer")
        << -1 << "upper" << 0 << false << true << false << "bytes=0-" << qint64(20000) << true;
    QTest::newRow("upper-case md5 never skips") << 20000 << "upper" << 0 << false << false << true
                                                << "bytes=20000-" << qint64(20000) << true;
    QTest::newRow("md5 mismatch") << -1 << "wrong" << 0 << false << false << true << "bytes=0-"
                                  << qint64(20000) << false;
    QTest::newRow("server error") << -1 << "" << 500 << false << false << true << "bytes=0-"
                                  << qint64(0) << true;
    QTest::newRow("cannot open") << -1 << "" << 0 << true << false << false << "" << qint64(0)
                                 << false;
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
    const QByteArray bytes = content(20000, 8);
    server->setFile("/base/10006_full/Bin/whole.exe", bytes);
    if (status) {
        HttpTestServer::Fault fault;
        fault.status = status;
        fault.body = "error page";
        server->setFault("/base/10006_full/Bin/whole.exe", fault);
    }
    QString localPath = tmp->filePath("Patch/10006/Bin/whole.exe.patch_full");
    if (blocked) {
        writeText(tmp->filePath("file"), "x");
        localPath = tmp->filePath("file/whole_full");
    }
    if (localSize >= 0) {
        writeText(localPath, localSize <= bytes.size()
                                 ? bytes.left(localSize)
                                 : bytes + QByteArray(localSize - bytes.size(), 'y'));
    }
    PatchManager manager;
    prepare(manager);
    PatchThread thread(PatchChain(), patchDir(), tmp->filePath("Drevna"), false, &manager);
    DownloadFileInfo f;
    f.name = "Bin\\whole.exe";
    f.path = "10006_full";
    f.size = bytes.size();
    f.md5 = md5 == "upper"   ? md5Of(bytes).toUpper()
            : md5 == "wrong" ? md5Of("other")
                             : md5Of(bytes);

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

QTEST_GUILESS_MAIN(TestUpdateFlow)
#include "tst_updateflow.moc"

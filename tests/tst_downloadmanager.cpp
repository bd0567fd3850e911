// The multi-file downloader against the in-process test server.
#include "fakedisplay.h"
#include "httptestserver.h"
#include "modalwatcher.h"
#include "services/downloadmanager.h"
#include "services/dvthread.h"
#include "testfiles.h"
#include "update/updatedisplay.h"

#include <QCryptographicHash>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestDownloadManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void sizeAndSpeedTexts_data();
    void sizeAndSpeedTexts();
    void downloadsQueueReplacingOldFiles();
    void pausedFileResumesWithRange();
    void failedFiles_data();
    void failedFiles();
    void unwritableFileIsNoDownload();
    void namesStayInTheWorkingDirectory_data();
    void namesStayInTheWorkingDirectory();
    void md5Check_data();
    void md5Check();

private:
    QTemporaryDir dir;
    HttpTestServer server;
};

void TestDownloadManager::initTestCase()
{
    QVERIFY(server.isListening());
    QVERIFY(QDir::setCurrent(dir.path()));
}

void TestDownloadManager::init()
{
    server.clearRoutes();
    server.clearFaults();
    server.clearRequests();
}

void TestDownloadManager::sizeAndSpeedTexts_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("size");
    QTest::addColumn<QString>("speed");
    QTest::newRow("bytes") << 1023.0 << "1023.00B"
                           << "1023.00B/s";
    QTest::newRow("kilo") << 1024.0 << "1.00KB"
                          << "1.00KB/s";
    QTest::newRow("mega") << 1572864.0 << "1.50MB"
                          << "1.50MB/s";
    QTest::newRow("giga") << 1073741824.0 << "1.00GB"
                          << "1024.00MB/s";
}

void TestDownloadManager::sizeAndSpeedTexts()
{
    QFETCH(double, value);
    QFETCH(QString, size);
    QFETCH(QString, speed);
    QCOMPARE(DownloadManager::sizeText(qint64(value)), size);
    QCOMPARE(DownloadManager::speedText(value), speed);
}

void TestDownloadManager::downloadsQueueReplacingOldFiles()
{
    const QByteArray a = bytePattern(300000, 1), b = bytePattern(5000, 2);
    server.setFile("/dl/pak/a.bin", a);
    server.setFile("/dl/pak/sub/b.bin", b);
    // A file from an earlier run is replaced, not continued.
    QDir().mkpath(dir.path() + "/pak/sub");
    QFile old(dir.path() + "/pak/sub/b.bin");
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("left over from an earlier run");
    old.close();

    FakeDisplay display;
    DownloadManager manager(&display);
    manager.downloadQueue << server.url("/dl/pak/a.bin") << server.url("/dl\\pak\\sub\\b.bin");
    manager.totalCount = 2;
    QSignalSpy finished(&manager, &DownloadManager::finished);
    manager.startNextDownload();
    QVERIFY(finished.wait(10000));

    QCOMPARE(readAll(dir.path() + "/pak/a.bin"), a);
    QCOMPARE(readAll(dir.path() + "/pak/sub/b.bin"), b);
    QCOMPARE(manager.downloadedCount, 2);
    const auto requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).header("Range"), QByteArray("bytes=0-"));
    QCOMPARE(requests.at(1).path(), QByteArray("/dl/pak/sub/b.bin"));
    QCOMPARE(requests.at(1).header("Range"), QByteArray("bytes=0-"));
    const QStringList info = display.with("download:"), progress = display.with("progress:");
    QCOMPARE(info.value(info.size() - 1).section('|', 2, 2), QStringLiteral("b.bin"));
    QCOMPARE(progress.value(progress.size() - 1).section(':', -1), QStringLiteral("1"));
    QTRY_VERIFY(manager.threads.isEmpty());
}

void TestDownloadManager::pausedFileResumesWithRange()
{
    const QByteArray body = bytePattern(200000, 3);
    server.setFile("/dl/resume.bin", body);
    HttpTestServer::Fault stall;
    stall.stallAfterBytes = 70000;
    stall.times = 1;
    server.setFault("/dl/resume.bin", stall);

    ModalWatcher boxes;
    FakeDisplay display;
    DownloadManager manager(&display);
    manager.downloadQueue << server.url("/dl/resume.bin");
    manager.totalCount = 1;
    manager.md5List << qMakePair(QStringLiteral("resume.bin"), md5Hex(body));
    QSignalSpy finished(&manager, &DownloadManager::finished);
    manager.startNextDownload();
    QTRY_COMPARE(manager.output.size(), qint64(70000));

    manager.paused = true;
    manager.currentDownload->abort();
    QVERIFY(!manager.currentDownload);
    manager.paused = false;
    // The queue is empty now, but the paused file is still to be finished.
    manager.startNextDownload();
    QVERIFY(finished.wait(10000));

    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(server.requests().at(1).header("Range"), QByteArray("bytes=70000-"));
    QCOMPARE(readAll(dir.path() + "/resume.bin"), body);
    QCOMPARE(manager.downloadedCount, 1);
    QTRY_VERIFY(manager.threads.isEmpty());
    QCOMPARE(boxes.count(), 0);
}

void TestDownloadManager::failedFiles_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("location");
    QTest::newRow("redirect") << 302 << QByteArray("/dl/elsewhere.bin");
    QTest::newRow("permanent redirect") << 308 << QByteArray("http://127.0.0.1:1/x.bin");
    QTest::newRow("missing") << 404 << QByteArray();
}

void TestDownloadManager::failedFiles()
{
    QFETCH(int, status);
    QFETCH(QByteArray, location);
    server.setFile("/dl/elsewhere.bin", "the target");
    server.setFile("/dl/next.bin", "next file");
    HttpTestServer::Fault fault;
    fault.status = status;
    fault.body = "moved or gone";
    if (!location.isEmpty())
        fault.headers << qMakePair(QByteArray("Location"), location);
    server.setFault("/dl/moved.bin", fault);

    FakeDisplay display;
    DownloadManager manager(&display);
    manager.downloadQueue << server.url("/dl/moved.bin") << server.url("/dl/next.bin");
    manager.totalCount = 2;
    QSignalSpy finished(&manager, &DownloadManager::finished);
    manager.startNextDownload();
    QVERIFY(finished.wait(10000));

    // Reported, not followed, nothing kept; the queue goes on.
    QVERIFY(!QFile::exists(dir.path() + "/moved.bin"));
    QVERIFY(server.requests("/dl/elsewhere.bin").isEmpty());
    QCOMPARE(readAll(dir.path() + "/next.bin"), QByteArray("next file"));
    QCOMPARE(manager.downloadedCount, 1);
    QTRY_VERIFY(manager.threads.isEmpty());
}

// A file that cannot be written locally is reported as failed, not as a
// success with nothing (or half of it) on disk; the queue goes on.
void TestDownloadManager::unwritableFileIsNoDownload()
{
    server.setFile("/dl/blocked/file.bin", "cannot land");
    server.setFile("/dl/after.bin", "next file");
    // A plain file where the folder should be: nothing can be created inside.
    QFile blocker(dir.path() + "/blocked");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    FakeDisplay display;
    DownloadManager manager(&display);
    manager.downloadQueue << server.url("/dl/blocked/file.bin") << server.url("/dl/after.bin");
    manager.totalCount = 2;
    QSignalSpy finished(&manager, &DownloadManager::finished);
    manager.startNextDownload();
    QVERIFY(finished.wait(10000));

    QCOMPARE(manager.downloadedCount, 1);
    QCOMPARE(readAll(dir.path() + "/after.bin"), QByteArray("next file"));
    QTRY_VERIFY(manager.threads.isEmpty());
}

void TestDownloadManager::namesStayInTheWorkingDirectory_data()
{
    QTest::addColumn<QString>("path");  // of the address
    QTest::addColumn<QString>("local"); // below the working directory; empty: refused
    QTest::newRow("dot-dot") << "/dl/../victim.bin"
                             << "";
    QTest::newRow("encoded dot-dot") << "/dl/%2e%2e/victim.bin"
                                     << "";
    QTest::newRow("encoded backslash") << "/dl/..%5cvictim.bin"
                                       << "";
    // The fourth character on is a name of its own, not a suffix of the folder.
    QTest::newRow("no separator after the prefix") << "/dlvictim.bin"
                                                   << "victim.bin";
}

// An address is the server's to choose: whatever it says, nothing outside the
// working directory is deleted or written, and a refused file is a failed one.
void TestDownloadManager::namesStayInTheWorkingDirectory()
{
    QFETCH(QString, path);
    QFETCH(QString, local);
    QTemporaryDir outer;
    QVERIFY(QDir(outer.path()).mkdir("work"));
    QFile victim(outer.filePath("victim.bin"));
    QVERIFY(victim.open(QIODevice::WriteOnly));
    victim.write("precious");
    victim.close();
    QVERIFY(QDir::setCurrent(outer.filePath("work")));
    const auto restore = qScopeGuard([this] { QDir::setCurrent(dir.path()); });
    server.setFile(path, "from the server");
    server.setFile("/dl/after.bin", "next file");

    FakeDisplay display;
    DownloadManager manager(&display);
    manager.downloadQueue << server.url(path) << server.url("/dl/after.bin");
    manager.totalCount = 2;
    QSignalSpy finished(&manager, &DownloadManager::finished);
    manager.startNextDownload();
    QVERIFY(finished.wait(10000));
    QTRY_VERIFY(manager.threads.isEmpty());

    QCOMPARE(QDir(outer.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList{"victim.bin", "work"}));
    QCOMPARE(readAll(outer.filePath("victim.bin")), QByteArray("precious"));
    QCOMPARE(readAll(outer.filePath("work/after.bin")), QByteArray("next file"));
    if (local.isEmpty()) {
        QCOMPARE(manager.downloadedCount, 1);
        QCOMPARE(server.requests().size(), 1);
    } else {
        QCOMPARE(manager.downloadedCount, 2);
        QCOMPARE(readAll(outer.filePath("work/" + local)), QByteArray("from the server"));
    }
}

void TestDownloadManager::md5Check_data()
{
    QTest::addColumn<QString>("namePart");
    QTest::addColumn<bool>("wrongDigest");
    QTest::addColumn<bool>("expectBox");
    QTest::newRow("mismatch") << "data/c.bin" << true << true;
    QTest::newRow("match") << "c.bin" << false << false;
    QTest::newRow("other file") << "d.bin" << true << false;
    // Name parts are matched case-sensitively.
    QTest::newRow("other case") << "C.BIN" << true << false;
}

void TestDownloadManager::md5Check()
{
    QFETCH(QString, namePart);
    QFETCH(bool, wrongDigest);
    QFETCH(bool, expectBox);
    const QByteArray body = bytePattern(40000, 4);
    server.setFile("/dl/data/c.bin", body);
    const QString expected = wrongDigest ? QString(32, QLatin1Char('0')) : md5Hex(body);

    ModalWatcher boxes;
    FakeDisplay display;
    DownloadManager manager(&display);
    manager.downloadQueue << server.url("/dl/data/c.bin");
    manager.totalCount = 1;
    manager.md5List << qMakePair(namePart, expected);
    QSignalSpy finished(&manager, &DownloadManager::finished);
    manager.startNextDownload();
    QVERIFY(finished.wait(10000));
    QTRY_VERIFY(manager.threads.isEmpty());

    if (!expectBox) {
        QCOMPARE(boxes.count(), 0);
        return;
    }
    QCOMPARE(boxes.count(), 1);
    const ModalWatcher::Box box = boxes.boxes().first();
    QCOMPARE(box.title, QStringLiteral("警告"));
    QCOMPARE(box.text, QStringLiteral("文件:\ndata/c.bin\nmd5:") + md5Hex(body) +
                           QStringLiteral("\n real md5:") + expected +
                           QStringLiteral("\n校验失败，请联系官方客服。"));
    QCOMPARE(box.clicked, QStringLiteral("继续"));
}

QTEST_MAIN(TestDownloadManager)
#include "tst_downloadmanager.moc"

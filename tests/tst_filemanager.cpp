// Collecting the digests of hashing workers, and the name|digest list.
#include "services/dvthread.h"
#include "services/filemanager.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using Records = QVector<QPair<QString, QString>>;

class TestFileManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void withoutWorkersNothingIsAnnounced();
    void announcesOnceEveryWorkerReported();
    void writeList_data();
    void writeList();
    void writeListToUnopenableFile();

private:
    QTemporaryDir dir;
};

void TestFileManager::initTestCase()
{
    QVERIFY(QDir::setCurrent(dir.path()));
}

void TestFileManager::withoutWorkersNothingIsAnnounced()
{
    FileManager manager;
    QSignalSpy over(&manager, &FileManager::over);
    manager.dealover();
    QCOMPARE(manager.finishedCount, 1);
    QCOMPARE(over.count(), 0);
}

void TestFileManager::announcesOnceEveryWorkerReported()
{
    // Three files, larger than one read block, in two workers; the second
    // worker also hashes a file of the first, changed meanwhile, and its
    // result wins.
    const QByteArray a(25000, 'a'), b(10240, 'b'), c("c");
    QDir().mkpath("sub");
    QVERIFY(writeAll(dir.path() + "/a.bin", a));
    QVERIFY(writeAll(dir.path() + "/sub/b.bin", b));
    QVERIFY(writeAll(dir.path() + "/c.bin", c));

    FileManager manager;
    DVThread first, second;
    first.files.insert(dir.path() + "/a.bin", QString());
    first.files.insert(dir.path() + "/sub/b.bin", QString());
    second.files.insert(dir.path() + "/c.bin", QString());
    second.files.insert(dir.path() + "/a.bin", QString());
    manager.threads << &first << &second;
    for (DVThread* worker : manager.threads)
        connect(worker, &DVThread::over, &manager, &FileManager::dealover);
    QSignalSpy over(&manager, &FileManager::over);

    first.start();
    QVERIFY(first.wait(5000));
    QTRY_COMPARE(manager.finishedCount, 1);
    QVERIFY(over.isEmpty());
    const QByteArray changed(25000, 'z');
    QVERIFY(writeAll(dir.path() + "/a.bin", changed));
    second.start();
    QVERIFY(over.wait(5000));
    QCOMPARE(over.count(), 1);
    QCOMPARE(manager.finishedCount, 2);

    const QMap<QString, QString> expected{
        {"a.bin", md5Hex(changed)}, {"c.bin", md5Hex(c)}, {"sub/b.bin", md5Hex(b)}};
    QCOMPARE(manager.results, expected);
    first.wait();
    second.wait();
}

void TestFileManager::writeList_data()
{
    QTest::addColumn<Records>("records");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("two records") << Records{{"Drevna/a.pak", "0cc175b9c0f1b6a831c399e269772661"},
                                            {"说明.txt", "ff"}}
                                 << QByteArray("Drevna/a.pak|0cc175b9c0f1b6a831c399e269772661\n") +
                                        QStringLiteral("说明.txt|ff\n").toUtf8();
    QTest::newRow("empty list truncates") << Records{} << QByteArray();
}

void TestFileManager::writeList()
{
    QFETCH(Records, records);
    QFETCH(QByteArray, expected);
    const QString path = dir.path() + "/list.txt";
    QVERIFY(writeAll(path, "an older, longer list\nwith lines\n"));

    FileManager manager;
    manager.listFile.setFileName(path);
    QVERIFY(manager.writeList(records));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), expected);
}

void TestFileManager::writeListToUnopenableFile()
{
    FileManager manager;
    manager.listFile.setFileName(dir.path() + "/no/such/folder/list.txt");
    QVERIFY(!manager.writeList(Records{{"a", "b"}}));
#ifdef Q_OS_LINUX
    // Opened, but the disk is full: that is no success either.
    manager.listFile.setFileName("/dev/full");
    QVERIFY(!manager.writeList(Records{{"a", "b"}}));
#endif
}

QTEST_GUILESS_MAIN(TestFileManager)
#include "tst_filemanager.moc"

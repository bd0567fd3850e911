// File replacement that game-file installation relies on.
#include "base/platform.h"

#include <QtTest>

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void replaceFile_data();
    void replaceFile();
};

void TestPlatform::replaceFile_data()
{
    QTest::addColumn<QString>("existing"); // "", "file" or "folder" at the destination
    QTest::addColumn<bool>("replaced");
    QTest::newRow("no target yet") << "" << true;
    QTest::newRow("old target replaced") << "file" << true;
    QTest::newRow("folder in the way") << "folder" << false;
}

void TestPlatform::replaceFile()
{
    QFETCH(QString, existing);
    QFETCH(bool, replaced);
    QTemporaryDir dir;
    const QString from = dir.filePath("game.pak_bak");
    const QString to = dir.filePath("game.pak");
    {
        QFile f(from);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("new content");
    }
    if (existing == "file") {
        QFile f(to);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("old");
    } else if (existing == "folder") {
        QVERIFY(QDir().mkpath(to));
    }
    QCOMPARE(platform::replaceFile(from, to), replaced);
    if (replaced) {
        QFile f(to);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("new content"));
        QVERIFY(!QFile::exists(from));
    } else {
        // Nothing is lost when the move is refused.
        QVERIFY(QFileInfo(to).isDir());
        QCOMPARE(QFileInfo(from).size(), qint64(11));
    }
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"

#include "testfiles.h"
#include "transfer/progress.h"
#include "update/records.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void formatVersion_data();
    void formatVersion();
    void parseJsonObject_data();
    void parseJsonObject();
    void safeRelativePath_data();
    void safeRelativePath();
    void localFileKey_data();
    void localFileKey();
    void fileListEntry();
    void fileListIsSafe_data();
    void fileListIsSafe();
    void chainRoundTrip();
    void writeFileCreatesFoldersAndReplaces();
    void writeFileFailsInReadOnlyFolder();
    void sizeText_data();
    void sizeText();
    void timeLeftText_data();
    void timeLeftText();
};

void TestRecords::formatVersion_data()
{
    QTest::addColumn<qint64>("version");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0.0.0";
    QTest::newRow("one digit") << qint64(5) << "0.0.5";
    QTest::newRow("ten") << qint64(10) << "0.1.0";
    QTest::newRow("two digits") << qint64(42) << "0.4.2";
    QTest::newRow("three digits") << qint64(123) << "1.2.3";
    QTest::newRow("typical") << qint64(10006) << "100.0.6";
    QTest::newRow("large") << qint64(2147483647) << "21474836.4.7";
}

void TestRecords::formatVersion()
{
    QFETCH(qint64, version);
    QFETCH(QString, text);
    QCOMPARE(::formatVersion(version), text);
}

void TestRecords::parseJsonObject_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("logsDecode");
    QTest::addColumn<int>("keys");
    QTest::newRow("object") << R"({"a":1,"b":"中文"})" << false << 2;
    QTest::newRow("empty object") << "{}" << false << 0;
    QTest::newRow("array") << "[1,2]" << false << 0;
    QTest::newRow("not json") << "not json" << true << 0;
    QTest::newRow("empty text") << "" << true << 0;
    QTest::newRow("truncated") << R"({"a":)" << true << 0;
}

void TestRecords::parseJsonObject()
{
    QFETCH(QString, text);
    QFETCH(bool, logsDecode);
    QFETCH(int, keys);
    if (logsDecode)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^decode .*error:"));
    const QJsonObject o = ::parseJsonObject(text);
    QCOMPARE(o.size(), keys);
    if (keys == 2)
        QCOMPARE(o.value("b").toString(), QString("中文"));
}

void TestRecords::safeRelativePath_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");
    QTest::newRow("plain") << "a.pak"
                           << "a.pak";
    QTest::newRow("backslash folders") << "Content\\Paks\\a.pak"
                                       << "Content/Paks/a.pak";
    QTest::newRow("slash folders") << "Content/Paks/a.pak"
                                   << "Content/Paks/a.pak";
    QTest::newRow("dot parts dropped") << "./a/./b"
                                       << "a/b";
    QTest::newRow("double separator") << "a\\\\b"
                                      << "a/b";
    QTest::newRow("dots inside a name") << "a..b/c...d"
                                        << "a..b/c...d";
    QTest::newRow("chinese") << "资源\\文件.dat"
                             << "资源/文件.dat";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("only dot") << "."
                              << "";
    QTest::newRow("absolute") << "/etc/passwd"
                              << "";
    QTest::newRow("absolute backslash") << "\\Windows\\x.dll"
                                        << "";
    QTest::newRow("unc") << "\\\\server\\share\\x"
                         << "";
    QTest::newRow("drive") << "C:\\Windows\\x.dll"
                           << "";
    QTest::newRow("drive relative") << "c:x.dll"
                                    << "";
    QTest::newRow("drive after a dot part") << ".\\a:x.dll"
                                            << "";
    QTest::newRow("stream of a file") << "a.dat:hidden"
                                      << "";
    QTest::newRow("device") << "Data/CON"
                            << "";
    QTest::newRow("device with extension") << "aux.txt"
                                           << "";
    QTest::newRow("trailing dot") << "Data./a"
                                  << "";
    QTest::newRow("trailing blank") << "a/b "
                                    << "";
    QTest::newRow("launcher's record at the root") << "./LocalVersion.json"
                                                   << "";
    QTest::newRow("launcher's record deeper") << "a/localversion.json"
                                              << "a/localversion.json";
    QTest::newRow("parent") << "../x"
                            << "";
    QTest::newRow("parent backslash") << "a\\..\\..\\x"
                                      << "";
    QTest::newRow("parent at end") << "a/.."
                                   << "";
    QTest::newRow("three dots") << "a/.../x"
                                << "";
    QTest::newRow("dots and blank") << "a/.. /x"
                                    << "";
    // Joined into a URL these would end the path or be read as escapes.
    QTest::newRow("fragment") << "a#b.dat"
                              << "";
    QTest::newRow("query") << "a?b.dat"
                           << "";
    QTest::newRow("escape") << "a%2e%2e/x"
                            << "";
    QTest::newRow("tab") << "a\tb"
                         << "";
    QTest::newRow("newline in a folder") << "a\nb/c"
                                         << "";
    QTest::newRow("nul") << QString(QChar(0)) << "";
    QTest::newRow("delete") << "a\x7f"
                            << "";
    QTest::newRow("blank, plus and brackets") << "a b+c[1].dat"
                                              << "a b+c[1].dat";
}

void TestRecords::safeRelativePath()
{
    QFETCH(QString, name);
    QFETCH(QString, path);
    QCOMPARE(::safeRelativePath(name), path);
}

void TestRecords::localFileKey_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("key");
    QTest::newRow("suffix") << "Content\\a.pak.patch"
                            << "Content\\a.pak";
    QTest::newRow("short") << "a.b"
                           << "a.b";
    QTest::newRow("five") << "abcde"
                          << "abcde";
    QTest::newRow("six") << "abcdef"
                         << "";
    QTest::newRow("seven") << "abcdefg"
                           << "a";
}

void TestRecords::localFileKey()
{
    QFETCH(QString, name);
    QFETCH(QString, key);
    QCOMPARE(::localFileKey(name), key);
}

void TestRecords::fileListIsSafe_data()
{
    QTest::addColumn<QByteArray>("entries");
    QTest::addColumn<QString>("refused");

    QTest::newRow("plain") << QByteArray(R"({"name":"a.pak.patch","size":12})") << "";
    QTest::newRow("size missing") << QByteArray(R"({"name":"a.pak.patch"})") << "";
    QTest::newRow("size as text") << QByteArray(R"({"name":"a.pak.patch","size":"12"})") << "";
    QTest::newRow("1 PiB") << QByteArray(R"({"name":"a.patch","size":1125899906842624})") << "";
    QTest::newRow("negative size") << QByteArray(R"({"name":"a.patch","size":-1})") << "a.patch";
    QTest::newRow("null size") << QByteArray(R"({"name":"a.patch","size":null})") << "a.patch";
    QTest::newRow("beyond 1 PiB") << QByteArray(R"({"name":"a.patch","size":1125899906842625})")
                                  << "a.patch";
    QTest::newRow("beyond 1 PiB together")
        << QByteArray(R"({"name":"a.patch","size":1e15},{"name":"b.patch","size":2e14})")
        << "b.patch";
    QTest::newRow("sums past 64 bits")
        << QByteArray(R"({"name":"a.patch","size":9e18},{"name":"b.patch","size":9e18})")
        << "a.patch";
    QTest::newRow("name leaving the folder")
        << QByteArray(R"({"name":"a.patch","size":1},{"name":"..\\x.patch","size":1})")
        << "..\\x.patch";
    QTest::newRow("target is the launcher's record")
        << QByteArray(R"({"name":"localversion.json.patch","size":1})")
        << "localversion.json.patch";
}

void TestRecords::fileListIsSafe()
{
    QFETCH(QByteArray, entries);
    QFETCH(QString, refused);
    const QJsonObject list = QJsonDocument::fromJson("{\"filelist\":[" + entries + "]}").object();
    QVERIFY(!list.isEmpty());
    QString got;
    QCOMPARE(::fileListIsSafe(list, &got), refused.isEmpty());
    QCOMPARE(got, refused);
}

void TestRecords::fileListEntry()
{
    const QJsonObject entry{{"name", "Bin\\g.exe.patch"},
                            {"size", 5000000000.0},
                            {"md5", "aa"},
                            {"type", "diff"},
                            {"srcmd5", "bb"},
                            {"destmd5", "cc"},
                            {"srcMd5", "wrong"}};
    const DownloadFileInfo f = fileInfoFromListEntry(entry, "http://h/base", "10005");
    QCOMPARE(f.name, QString("Bin\\g.exe.patch"));
    QCOMPARE(f.size, qint64(5000000000));
    QCOMPARE(f.md5, QString("aa"));
    QCOMPARE(f.type, QString("diff"));
    QCOMPARE(f.srcMd5, QString("bb"));
    QCOMPARE(f.destMd5, QString("cc"));
    QCOMPARE(f.path, QString("10005"));
    QCOMPARE(f.parentUrl, QString("http://h/base"));
    QVERIFY(!f.hadPatch);
    QCOMPARE(localPatchFilePath("/p/Patch", f), QString("/p/Patch/10005/Bin/g.exe.patch"));
    DownloadFileInfo bad = f;
    bad.name = "..\\..\\evil.dll";
    QVERIFY(localPatchFilePath("/p/Patch", bad).isEmpty());
}

void TestRecords::chainRoundTrip()
{
    DownloadFileInfo a{
        "Content\\Paks\\资源.pak.patch", "diff", 5368709121LL, "s1", "d1", "m1", "10006",
        "http://127.0.0.1/base",         true};
    DownloadFileInfo b{"new.dat", "add", 0, "", "d2", "m2", "10006", "http://127.0.0.1/base",
                       false};
    DownloadFileInfo c{"old.dat", "del", 12, "s3", "", "m3", "10005", "u", false};
    PatchChain chain{
        {10005, 10006, "10006", {a, b}}, {10004, 10005, "10005", {c}}, {0, 10004, "empty", {}}};
    const QByteArray json = patchChainToJson(chain);
    QVERIFY(json.contains("\"preVersion\""));
    QVERIFY(json.contains("\"srcMd5\""));
    QVERIFY(json.contains("\n    ")); // indented
    QVERIFY(json.contains("资源"));   // UTF-8, not Latin-1
    QTemporaryDir dir;
    QVERIFY(writePatchChain(dir.filePath("patchchain.json"), chain));
    QCOMPARE(readAll(dir.filePath("patchchain.json")), json); // the same text, a file at a time
    bool ok = false;
    const PatchChain back = patchChainFromJson(json, &ok);
    QVERIFY(ok);
    QCOMPARE(back.size(), chain.size());
    for (int i = 0; i < chain.size(); ++i) {
        QCOMPARE(back[i].files.size(), chain[i].files.size());
        for (int j = 0; j < chain[i].files.size(); ++j)
            QVERIFY2(back[i].files[j] == chain[i].files[j], qPrintable(chain[i].files[j].name));
        QVERIFY(back[i] == chain[i]);
    }
}

void TestRecords::writeFileCreatesFoldersAndReplaces()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a/b/c/file.json");
    QVERIFY(writeFile(path, "first content"));
    // A write killed before its rename leaves its side file: the next one
    // clears it, and nothing else of the same stem.
    QVERIFY(writeAll(path + ".Ab12Cd", "first content, half"));
    QVERIFY(writeAll(dir.filePath("a/b/c/file.json.orig"), "the player's own"));
    QVERIFY(writeFile(path, "2nd"));
    QVERIFY(QFile::remove(dir.filePath("a/b/c/file.json.orig")));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("2nd"));
    // Nothing but the file is left behind in its folder.
    QCOMPARE(QDir(dir.filePath("a/b/c")).entryList(QDir::Files | QDir::Hidden).size(), 1);
    QVERIFY(writeFile(dir.filePath("empty"), QByteArray()));
    QVERIFY(QFile::exists(dir.filePath("empty")));
}

void TestRecords::writeFileFailsInReadOnlyFolder()
{
    QTemporaryDir dir;
    const QString ro = dir.filePath("ro");
    QVERIFY(QDir().mkpath(ro));
    QVERIFY(writeFile(ro + "/keep.json", "old"));
    QFile::setPermissions(ro, QFile::ReadOwner | QFile::ExeOwner);
    // A folder that is really a file blocks the write for every user, root too.
    QVERIFY(writeFile(dir.filePath("blocker"), "x"));
    QString target = dir.filePath("blocker/keep.json");
    if (!QFileInfo(ro).isWritable())
        target = ro + "/keep.json";
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^create file error"));
    QVERIFY(!writeFile(target, "new"));
    QFile f(ro + "/keep.json");
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("old"));
    QFile::setPermissions(ro, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TestRecords::sizeText_data()
{
    QTest::addColumn<double>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0.0 << "0.00B";
    QTest::newRow("1023") << 1023.0 << "1023.00B";
    QTest::newRow("1024") << 1024.0 << "1.00KB";
    QTest::newRow("1536") << 1536.0 << "1.50KB";
    QTest::newRow("just below MB") << 1048575.0 << "1024.00KB";
    QTest::newRow("1 MB") << 1048576.0 << "1.00MB";
    QTest::newRow("1 GB") << 1073741824.0 << "1.00GB";
    QTest::newRow("5 GB") << 5.5 * 1073741824.0 << "5.50GB";
    QTest::newRow("fraction") << 10.5 << "10.50B";
}

void TestRecords::sizeText()
{
    QFETCH(double, bytes);
    QFETCH(QString, text);
    QCOMPARE(::sizeText(bytes), text);
}

void TestRecords::timeLeftText_data()
{
    QTest::addColumn<double>("remaining");
    QTest::addColumn<double>("speed");
    QTest::addColumn<QString>("text");
    QTest::newRow("hms") << 3661.0 << 1.0 << "01:01:01";
    QTest::newRow("truncated") << 59.9 << 1.0 << "00:00:59";
    QTest::newRow("limit") << 359999.0 << 1.0 << "99:59:59";
    QTest::newRow("beyond limit") << 360000.0 << 1.0 << "99:59:59";
    QTest::newRow("far beyond") << 1e15 << 1.0 << "99:59:59";
    QTest::newRow("nothing left") << 0.0 << 100.0 << "--:--:--";
    QTest::newRow("overshoot") << -5.0 << 100.0 << "--:--:--";
    QTest::newRow("no speed") << 100.0 << 0.0 << "--:--:--";
    QTest::newRow("not a number") << 100.0 << qQNaN() << "--:--:--";
    QTest::newRow("fast") << 1048576.0 << 10485760.0 << "00:00:00";
}

void TestRecords::timeLeftText()
{
    QFETCH(double, remaining);
    QFETCH(double, speed);
    QFETCH(QString, text);
    QCOMPARE(::timeLeftText(remaining, speed), text);
}

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"

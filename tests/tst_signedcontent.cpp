// Signed content through the whole launcher: each signed document, served
// behind the content ports, refused in each way its signature can fail; and
// the root of trust, with content made by the publisher.
// ctest-lock: content-ports
//
// The content: a version file announcing a newer launcher (whose setup
// program the player declines), the update configuration, and a patch list
// with one step 1 -> 2 whose only patch cannot be applied, so that the patch
// thread also fetches the step's "_full" list and the whole file.
#include "app/channel.h"
#include "app/mainwindow.h"
#include "engineprobe.h"
#include "enginetest.h"
#include "httptestserver.h"
#include "modalwatcher.h"
#include "portforwarder.h"
#include "privatehome.h"
#include "publisher.h"
#include "rootkeys.h"
#include "services/contentsignature.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <sodium.h>
#include <tuple>

namespace
{
const QString versionPath = QUrl(channel::launcherVersionUrl(false)).path();
const QString configPath = "/" + channel::updateConfigName();
const QString setupPath = "/setup/REZ-setup.exe", patchListPath = "/base/patchlist.json";
const QString fileListPath = "/base/1_2/patchfiles.json";
const QString fullListPath = "/base/1_2_full/patchfiles.json";
const QString confirm = "发现新版本，确认安装吗？";
const QString recordName = "Drevna/contentsequence.json";
const QByteArray oldFile = "version 1\n", newFile = "version 2\n", garbage = "no patch\n";

QString appPath(const QString& name)
{
    return QCoreApplication::applicationDirPath() + "/" + name;
}

QByteArray fileList(const QByteArray& file, const QString& type)
{
    return QString(R"({"filelist": [{"name": "a.txt.patch", "size": %1, "md5": "%2", "type": "%3",
                   "srcmd5": "%4", "destmd5": "%5"}]})")
               .arg(file.size())
               .arg(md5Hex(file), type, md5Hex(oldFile), md5Hex(newFile))
               .toUtf8() +
           '\n';
}

HttpTestServer::Fault endlessFault()
{
    HttpTestServer::Fault f;
    f.endless = true;
    return f;
}

struct Key {
    QByteArray pk = QByteArray(crypto_sign_PUBLICKEYBYTES, 0),
               sk = QByteArray(crypto_sign_SECRETKEYBYTES, 0);
    Key()
    {
        crypto_sign_keypair(reinterpret_cast<uchar*>(pk.data()),
                            reinterpret_cast<uchar*>(sk.data()));
    }
    // The envelope for b as the document path (on the test server) names.
    QByteArray sign(const QByteArray& b, const QString& path, qint64 sequence,
                    qint64 expires = 0) const
    {
        const QString kind = path == versionPath     ? "version"
                             : path == configPath    ? "config"
                             : path == setupPath     ? "setup"
                             : path == patchListPath ? "patchlist"
                                                     : "filelist";
        const QByteArray statement =
            contentsig::Statement{kind,     nameOf(path),
                                  b.size(), QCryptographicHash::hash(b, QCryptographicHash::Sha256),
                                  sequence, expires}
                .toJson();
        QByteArray sig(crypto_sign_BYTES, 0);
        crypto_sign_detached(reinterpret_cast<uchar*>(sig.data()), nullptr,
                             reinterpret_cast<const uchar*>(statement.constData()),
                             quint64(statement.size()),
                             reinterpret_cast<const uchar*>(sk.constData()));
        return sig + statement;
    }
    // Below its base: the content server's root, or the patch base "/base".
    static QString nameOf(const QString& path)
    {
        return path.mid(path.startsWith("/base/") ? 6 : 1);
    }
};
QList<QByteArray> publicKeys(const QMap<QChar, Key>& keys, const QString& which)
{
    QList<QByteArray> out;
    for (const QChar k : which)
        out << keys.value(k).pk;
    return out;
}

QList<QByteArray> secretKeys(const QMap<QChar, Key>& keys, const QString& which)
{
    QList<QByteArray> out;
    for (const QChar k : which)
        out << keys.value(k).sk;
    return out;
}

QStringList boxTexts(const ModalWatcher& watcher)
{
    QStringList out;
    for (const ModalWatcher::Box& box : watcher.boxes())
        out << box.text + box.informativeText;
    return out;
}

// Which other signed document a mix-and-match attacker serves in a path's place.
const QMap<QString, QString> partner{{versionPath, configPath},     {configPath, versionPath},
                                     {setupPath, versionPath},      {patchListPath, fileListPath},
                                     {fileListPath, patchListPath}, {fullListPath, fileListPath}};
} // namespace

class TestSignedContent : public QObject
{
    Q_OBJECT

    HttpTestServer server;
    Key signer, other;
    QMap<QChar, Key> root{{'1', {}}, {'2', {}}, {'3', {}}},
        content{{'1', {}}, {'2', {}}, {'3', {}}, {'x', {}}};
    QTemporaryDir versions; // b/1, b/2 and, published apart, c/1, c/2

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X display (run under xvfb-run)");
        QVERIFY(server.isListening());
        for (const QString set : {"b", "c"})
            QVERIFY(writeAll(versions.filePath(set + "/1/a.txt"), oldFile) &&
                    writeAll(versions.filePath(set + "/2/a.txt"), set == "b" ? newFile : garbage));
    }

    void cleanup()
    {
        contentsig::setKeys(QString());
        contentsig::setRootKeys(QString(), 1);
        QDir(appPath("Drevna")).removeRecursively();
        QDir(appPath("Patch")).removeRecursively();
        QFile::remove(appPath("setting.ini"));
    }

    void update_data()
    {
        QTest::addColumn<QString>("document"); // the one whose signature fails
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("keys"); // s: the signer's key, o: another
        QTest::addColumn<bool>("primaryDown");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<int>("state");     // 0: the engine never starts
        QTest::addColumn<QString>("error"); // a part of the update's error text
        for (const char* keys : {"s", "s,o", "o,s", ""})
            QTest::addRow("all signed, keys '%s'", keys)
                << QString() << QString() << QString(keys) << false << QStringList{confirm} << 7
                << QString();
        const QList<std::tuple<QString, bool, QStringList, int, QString>> kinds{
            {versionPath, false, {"检查更新失败-102"}, 7, ""},
            {setupPath, false, {"检查更新失败-108"}, 7, ""},
            {configPath, false, {confirm, "检查更新失败-2"}, 0, ""},
            {configPath, true, {confirm, "检查更新失败-2"}, 0, ""},
            {patchListPath, false, {confirm}, 8, "解码错误"},
            {fileListPath, false, {confirm}, 8, "配置解析失败"},
            {fullListPath, false, {confirm}, 8, "应用补丁文件a.txt.patch diff失败"},
        };
        for (const auto& [path, down, boxes, state, error] : kinds)
            for (const QString fault : {"missing", "truncated", "wrong", "flipped", "other key",
                                        "another document", "older", "expired"})
                QTest::addRow("%s%s, %s", qPrintable(path), down ? " from B" : "",
                              qPrintable(fault))
                    << path << fault << "s" << down << boxes << state << error;
        QTest::newRow("patch list below the installed version")
            << patchListPath << "below installed"
            << "s" << false << QStringList{confirm} << 8 << "解码错误";
        QTest::newRow("_full list of another file")
            << fullListPath << "other file"
            << "s" << false << QStringList{confirm} << 8 << "应用补丁文件a.txt.patch diff失败";
        QTest::newRow("patch list past its signed length")
            << patchListPath << "endless"
            << "s" << false << QStringList{confirm} << 8 << "下载失败";
        // The sequence record: said when damaged, pruned, and never
        // silently not written.
        // From B: the window reads it again once this log is collected.
        QTest::newRow("sequence record damaged") << recordName << "damaged record"
                                                 << "s" << true << QStringList{confirm} << 7 << "";
        QTest::newRow("sequence record of a withdrawn step")
            << QString() << "withdrawn step"
            << "s" << false << QStringList{confirm} << 7 << "";
        QTest::newRow("sequence record unwritable")
            << versionPath << "unwritable record"
            << "s" << false << QStringList{"检查更新失败-102", "检查更新失败-2"} << 0 << "";
    }

    void update()
    {
        QFETCH(QString, document);
        QFETCH(QString, fault);
        QFETCH(QString, keys);
        QFETCH(bool, primaryDown);
        QFETCH(QStringList, boxes);
        QFETCH(int, state);
        QFETCH(QString, error);
        const QString hex =
            QString(keys).replace("s", signer.pk.toHex()).replace("o", other.pk.toHex());
        QVERIFY(contentsig::setKeys(hex));

        server.clearRoutes();
        server.clearFaults();
        server.clearRequests();
        const QMap<QString, QByteArray> docs{
            {versionPath,
             QString(R"({"version": 5, "url": "%1"})").arg(server.url(setupPath)).toUtf8() + '\n'},
            {setupPath, "#!/bin/sh\nexit 0\n"},
            {configPath,
             QString(R"({"Url": "%1", "OriginalUrl": "%1"})").arg(server.url("/base")).toUtf8() +
                 '\n'},
            {patchListPath,
             R"({"patchversion": {"s": {"version": 2, "preversion": 1, "path": "1_2"}},
                               "fullversion": {"version": 2, "preversion": 0, "path": "2_full"}})"
             "\n"},
            {fileListPath, fileList(garbage, "diff")},
            {"/base/1_2/a.txt.patch", garbage},
            {fullListPath, fileList(fault == "other file" ? garbage : newFile, "add")},
            {"/base/1_2_full/a.txt.patch", fault == "other file" ? garbage : newFile},
            {"/base/2_full/patchfiles.json", fileList(newFile, "add")},
            {"/base/2_full/a.txt.patch", newFile},
        };
        const qint64 sequence = 100, expired = QDateTime::currentSecsSinceEpoch() - 60;
        for (auto it = docs.constBegin(); it != docs.constEnd(); ++it) {
            const QString path = fault == "another document" && it.key() == document
                                     ? partner.value(document)
                                     : it.key();
            QByteArray body = docs.value(path);
            QByteArray sig = signer.sign(body, path, sequence);
            if (it.key() == document) {
                if (fault == "truncated")
                    sig.chop(1);
                else if (fault == "wrong")
                    sig.fill('Z');
                else if (fault == "other key")
                    sig = other.sign(body, path, sequence);
                else if (fault == "flipped") // still the same JSON
                    body[body.size() - 1] = ' ';
                else if (fault == "older" || fault == "expired")
                    sig = signer.sign(body, path, sequence - 1, fault == "older" ? 0 : expired);
                else if (fault == "endless")
                    server.setFault(it.key(), endlessFault());
            }
            server.setFile(it.key(), body);
            if (!keys.isEmpty() && !(it.key() == document && fault == "missing") &&
                !path.endsWith(".patch"))
                server.setFile(it.key() + ".sig", sig);
        }
        // Installed: version 1 of the game (3 below a list of 2) and launcher
        // version 4; an earlier start accepted a newer one of the first
        // documents (the others are bound to those that lead to them).
        const int installed = fault == "below installed" ? 3 : 1;
        QVERIFY(writeAll(appPath("Drevna/a.txt"), oldFile));
        QVERIFY(writeAll(appPath("Drevna/localversion.json"),
                         QJsonDocument(QJsonObject{{"version", installed}}).toJson()));
        if (fault == "older" &&
            QStringList{versionPath, configPath, patchListPath}.contains(document))
            QVERIFY(writeAll(
                appPath(recordName),
                QJsonDocument(QJsonObject{{Key::nameOf(document), double(sequence)}}).toJson()));
        if (fault == "damaged record")
            QVERIFY(writeAll(appPath(recordName), "{\"patchlist.json\": 1"));
        if (fault == "withdrawn step")
            QVERIFY(writeAll(appPath(recordName), R"({"0_1/patchfiles.json": 1})"));
        if (fault == "unwritable record")
            QVERIFY(QDir().mkpath(appPath(recordName)));
        QSettings(appPath("setting.ini"), QSettings::IniFormat).setValue("version/version", 4);
        const QString setupFile =
            QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) +
            "/Stm/REZ-setup.exe";

        const QString base = primaryDown ? channel::contentBaseB() : channel::contentBaseA();
        PortForwarder forwarder(quint16(QUrl(base).port()), server.port());
        QVERIFY(forwarder.isListening());
        ModalWatcher watcher;
        watcher.answerWith(QMessageBox::Cancel); // declines the setup program
        auto texts = [&watcher] { return boxTexts(watcher); };
        MainWindow window;
        LogCollector log;
        PatchManager* engine = window.patchManagerForTest();
        engine->patchFinishSleepMs = 0;
        if (state == 0) {
            QTRY_COMPARE_WITH_TIMEOUT(texts(), boxes, 15000);
            QVERIFY(!QTest::qWaitFor([engine] { return engine->currentState() != 0; }, 300));
        }
        QTRY_VERIFY_WITH_TIMEOUT(engine->currentState() == state &&
                                     (state != 7 || probe(*engine).recheckCount == 0),
                                 30000);
        QCOMPARE(texts(), boxes);
        QVERIFY2(probe(*engine).errorText.contains(error), qPrintable(probe(*engine).errorText));
        // A repair of the same list takes the game no further back.
        const bool below = fault == "below installed";
        if (below) {
            engine->requestRepair();
            QTRY_COMPARE(log.matching("^patch list newest").size(), 2);
            QTRY_COMPARE(engine->currentState(), 8);
        }

        // One line names the failure and the address; without keys no
        // signature is even asked for.
        const QString why = fault == "below installed"  ? "^patch list newest"
                            : fault == "other file"     ? "^apply patch: whole file"
                            : fault == "endless"        ? "^download too long"
                            : fault == "damaged record" ? "^sequence record unreadable"
                                                        : "^signature ";
        const QStringList refusals = log.matching(why);
        // Unwritable, the record refuses the version file and the configuration.
        QCOMPARE(refusals.size(), document.isEmpty()                      ? 0
                                  : below || fault == "unwritable record" ? 2
                                                                          : 1);
        QVERIFY(document.isEmpty() || refusals.first().contains(document) || fault == "other file");
        QCOMPARE(log.matching("^signature ").size(), why == "^signature " ? refusals.size() : 0);
        bool signatureRequested = false;
        for (const HttpTestServer::Request& r : server.requests())
            signatureRequested |= r.path().endsWith(".sig");
        QCOMPARE(signatureRequested, !keys.isEmpty());

        // Nothing of a refused document is installed, stored or started.
        QCOMPARE(readAll(appPath("Drevna/a.txt")), state == 7 ? newFile : oldFile);
        QCOMPARE(QJsonDocument::fromJson(readAll(appPath("Drevna/localversion.json")))["version"]
                     .toInt(),
                 state == 7 ? 2 : installed);
        QCOMPARE(readAll(appPath(recordName)).contains("0_1"), false);
        QCOMPARE(QFile::exists(appPath("Patch/1_2/patchfiles.json")), document == fullListPath);
        QCOMPARE(QFile::remove(setupFile), document != setupPath && document != versionPath);
        QCOMPARE(QSettings(appPath("setting.ini"), QSettings::IniFormat)
                     .value("version/version")
                     .toInt(),
                 4);
    }
    // The root of trust: keys documents, content and snapshots made by the
    // publisher, judged by a launcher built with root key r1 (threshold 1).
    void keys_data()
    {
        // Each version of the keys document: "c<content keys>/<threshold>
        // r<root keys>/<threshold> s<root keys that sign>", "past" expired.
        QTest::addColumn<QStringList>("history");
        QTest::addColumn<QString>("signers"); // content keys 1-3, x: one never trusted
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("state"); // 0: the first document is refused
        QTest::addColumn<QString>("why");
        QTest::addColumn<int>("kept"); // the trusted version afterwards
        const QString v1 = "c1/1 r1/1 s1", toC2 = "c2/1 r1/1 s1", c123 = "c123/2 r1/1 s1";
        QTest::newRow("content key rotated, the old key refused")
            << QStringList{v1, toC2} << "1"
            << "" << 0 << "^signature invalid" << 2;
        QTest::newRow("2 of 3 met") << QStringList{c123} << "31"
                                    << "" << 7 << "^keys version 1 trusted" << 1;
        QTest::newRow("2 of 3 not met, one key twice")
            << QStringList{c123} << "22x"
            << "" << 0 << "^signature below threshold \\(1 of 2" << 1;
        QTest::newRow("revoked key refused")
            << QStringList{c123, "c23/2 r1/1 s1"} << "12"
            << "" << 0 << "^signature below threshold \\(1 of 2" << 2;
        QTest::newRow("fast-forward, rotation, the honest list accepted again")
            << QStringList{v1, toC2} << "2"
            << "fast-forward" << 7 << "^keys version 2 trusted, content keys changed" << 2;
        QTest::newRow("root rotated") << QStringList{v1, "c2/1 r2/1 s12"} << "2"
                                      << "" << 7 << "^keys version 2 trusted" << 2;
        QTest::newRow("root rotation signed by the new root only")
            << QStringList{v1, "c2/1 r2/1 s2"} << "2"
            << "" << 0 << "^keys refused \\(0 of 1 trusted root" << 1;
        QTest::newRow("keys document going back a version")
            << QStringList{v1, toC2} << "1"
            << "back a version" << 0 << "^keys refused \\(version 1, expected 3\\)" << 2;
        QTest::newRow("keys document expired") << QStringList{v1 + " past"} << "1"
                                               << "" << 0 << "^signature keys expired" << 1;
        QTest::newRow("keys document expired, then renewed")
            << QStringList{v1 + " past", v1} << "1"
            << "" << 7 << "^keys version 2 trusted: " << 2;
        QTest::newRow("endless keys document")
            << QStringList{v1} << "1"
            << "endless" << 7 << "^download too long .*keys/2.sig" << 1;
        QTest::newRow("step list not in the snapshot")
            << QStringList{v1} << "1"
            << "snapshot" << 8 << "^signature does not match the snapshot" << 1;
    }

    void keys()
    {
        QFETCH(QStringList, history);
        QFETCH(QString, signers);
        QFETCH(QString, fault);
        QFETCH(int, state);
        QFETCH(QString, why);
        QFETCH(int, kept);
        QTemporaryDir dir;
        const QString served = dir.filePath("served"), base = served + "/base";
        QString error;
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        for (int v = 1; v <= history.size(); ++v) {
            const QStringList p = history.at(v - 1).split(' ');
            contentsig::KeysDocument doc;
            doc.version = v;
            doc.expires = p.contains("past") ? now - 60 : now + 3600;
            doc.contentKeys = publicKeys(content, p.at(0).mid(1).section('/', 0, 0));
            doc.contentThreshold = p.at(0).section('/', 1).toInt();
            doc.rootKeys = publicKeys(root, p.at(1).mid(1).section('/', 0, 0));
            doc.rootThreshold = p.at(1).section('/', 1).toInt();
            QVERIFY2(
                publish::writeKeysDocument(served, doc, secretKeys(root, p.at(2).mid(1)), &error),
                qPrintable(error));
        }
        publish::Options options;
        options.signingKeys = secretKeys(content, signers);
        QVERIFY2(publish::publish(versions.filePath("b"), base, options, nullptr, &error),
                 qPrintable(error));
        QVERIFY(writeAll(served + versionPath, R"({"version": 0, "url": ""})") &&
                writeAll(served + configPath,
                         QString(R"({"Url": "%1"})").arg(server.url("/base")).toUtf8()));
        for (const QString& path : {versionPath, configPath})
            QVERIFY2(publish::signFile(served + path, served, options.signingKeys, now, 0, &error),
                     qPrintable(error));

        server.clearRoutes();
        server.clearFaults();
        server.serveDirectory(served);
        if (fault == "back a version")
            QVERIFY(QFile::copy(served + "/keys/1.sig", served + "/keys/3.sig"));
        if (fault == "endless") { // served with 200, then without end
            QVERIFY(QFile::copy(served + "/keys/1.sig", served + "/keys/2.sig"));
            server.setFault("/keys/2.sig", endlessFault());
        }
        if (fault == "snapshot") { // the same step, published apart, newer
            QVERIFY(publish::publish(versions.filePath("c"), dir.filePath("c"), options, nullptr,
                                     &error));
            for (const QString name : {"/1_2/patchfiles.json", "/1_2/patchfiles.json.sig"})
                server.setFile("/base" + name, readAll(dir.filePath("c") + name));
        }
        QVERIFY(writeAll(appPath("Drevna/a.txt"), oldFile) &&
                writeAll(appPath("Drevna/localversion.json"), R"({"version": 1})"));
        if (fault == "fast-forward") { // an earlier start trusted version 1 and the thief's lists
            QVERIFY(QFile::copy(served + "/keys/1.sig", appPath("Drevna/contentkeys.sig")));
            QJsonObject inflated;
            for (const QString& name :
                 {Key::nameOf(versionPath), Key::nameOf(configPath), QString("patchlist.json")})
                inflated.insert(name, double(1LL << 52));
            QVERIFY(writeAll(appPath(recordName), QJsonDocument(inflated).toJson()));
        }
        QVERIFY(contentsig::setRootKeys(publicKeys(root, "1").first().toHex(), 1));

        PortForwarder forwarder(quint16(QUrl(channel::contentBaseA()).port()), server.port());
        ModalWatcher watcher;
        MainWindow window;
        LogCollector log;
        PatchManager* engine = window.patchManagerForTest();
        engine->patchFinishSleepMs = 0;
        QTRY_VERIFY_WITH_TIMEOUT(state == 0 ? boxTexts(watcher).size() == 2
                                            : engine->currentState() == state &&
                                                  (state != 7 || probe(*engine).recheckCount == 0),
                                 30000);
        const QStringList refused{"检查更新失败-102", "检查更新失败-2"};
        QCOMPARE(boxTexts(watcher), state == 0 ? refused : QStringList());
        QVERIFY2(state != 8 || probe(*engine).errorText.contains("配置解析失败"),
                 qPrintable(probe(*engine).errorText));
        QVERIFY2(!log.matching(why).isEmpty(), qPrintable(log.all().join('\n')));
        QCOMPARE(readAll(appPath("Drevna/a.txt")), state == 7 ? newFile : oldFile);
        contentsig::KeysDocument trusted;
        QVERIFY(contentsig::KeysDocument::fromObject(
            QJsonDocument::fromJson(
                contentsig::envelopeStatement(readAll(appPath("Drevna/contentkeys.sig"))))
                .object(),
            &trusted));
        QCOMPARE(trusted.version, qint64(kept));
    }
};

int main(int argc, char** argv)
{
    return runWithPrivateHome<TestSignedContent>(argc, argv);
}

#include "tst_signedcontent.moc"

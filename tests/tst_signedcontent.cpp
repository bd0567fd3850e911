// Signed content through the whole launcher: each signed document, served
// behind the content ports, refused in each way its signature can fail.
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

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X display (run under xvfb-run)");
        QVERIFY(server.isListening());
    }

    void cleanup()
    {
        contentsig::setKeys(QString());
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
                appPath("Drevna/contentsequence.json"),
                QJsonDocument(QJsonObject{{Key::nameOf(document), double(sequence)}}).toJson()));
        QSettings(appPath("setting.ini"), QSettings::IniFormat).setValue("version/version", 4);
        const QString setupFile =
            QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) +
            "/Stm/REZ-setup.exe";

        const QString base = primaryDown ? channel::contentBaseB() : channel::contentBaseA();
        PortForwarder forwarder(quint16(QUrl(base).port()), server.port());
        QVERIFY(forwarder.isListening());
        ModalWatcher watcher;
        watcher.answerWith(QMessageBox::Cancel); // declines the setup program
        auto texts = [&watcher] {
            QStringList out;
            for (const ModalWatcher::Box& box : watcher.boxes())
                out << box.text + box.informativeText;
            return out;
        };
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
        const QString why = fault == "below installed" ? "^patch list newest"
                            : fault == "other file"    ? "^apply patch: whole file"
                            : fault == "endless"       ? "^download too long"
                                                       : "^signature ";
        const QStringList refusals = log.matching(why);
        QCOMPARE(refusals.size(), document.isEmpty() ? 0 : below ? 2 : 1);
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
        QCOMPARE(QFile::exists(appPath("Patch/1_2/patchfiles.json")), document == fullListPath);
        QCOMPARE(QFile::remove(setupFile), document != setupPath && document != versionPath);
        QCOMPARE(QSettings(appPath("setting.ini"), QSettings::IniFormat)
                     .value("version/version")
                     .toInt(),
                 4);
    }
};

int main(int argc, char** argv)
{
    return runWithPrivateHome<TestSignedContent>(argc, argv);
}

#include "tst_signedcontent.moc"

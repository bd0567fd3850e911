// Signed content through the whole launcher: every signed document, served
// by the test server behind the content ports, refused in each way a
// signature can fail, and the update that follows (or does not).
// ctest-lock: content-ports
//
// The content: a launcher version file announcing a newer launcher (whose
// setup program the player declines), the update configuration, a patch
// list with one step 1 -> 2 whose only patch cannot be applied, so that the
// patch thread also fetches the step's "_full" list and the whole file.
#include "app/channel.h"
#include "app/mainwindow.h"
#include "enginetest.h"
#include "httptestserver.h"
#include "modalwatcher.h"
#include "portforwarder.h"
#include "services/contentsignature.h"

#include <QCryptographicHash>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <sodium.h>

namespace
{

const QString confirmText = QStringLiteral("发现新版本，确认安装吗？");
const QByteArray oldFile = "the game file at version 1\n";
const QByteArray newFile = "the game file at version 2\n";

struct KeyPair {
    QByteArray publicKey = QByteArray(crypto_sign_PUBLICKEYBYTES, 0);
    QByteArray secretKey = QByteArray(crypto_sign_SECRETKEYBYTES, 0);
    KeyPair()
    {
        crypto_sign_keypair(reinterpret_cast<uchar*>(publicKey.data()),
                            reinterpret_cast<uchar*>(secretKey.data()));
    }
    QString hex() const { return QString::fromLatin1(publicKey.toHex()); }
    QByteArray sign(const QByteArray& bytes) const
    {
        QByteArray sig(crypto_sign_BYTES, 0);
        crypto_sign_detached(reinterpret_cast<uchar*>(sig.data()), nullptr,
                             reinterpret_cast<const uchar*>(bytes.constData()),
                             quint64(bytes.size()),
                             reinterpret_cast<const uchar*>(secretKey.constData()));
        return sig;
    }
};

QString md5(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray listEntry(const QByteArray& file, const char* type)
{
    return QStringLiteral(R"({"filelist": [{"name": "a.txt.patch", "size": %1, "md5": "%2",
                          "type": "%3", "srcmd5": "%4", "destmd5": "%5"}]})")
               .arg(file.size())
               .arg(md5(file), QLatin1String(type), md5(oldFile), md5(newFile))
               .toUtf8() +
           '\n';
}

const QString versionPath = QUrl(channel::launcherVersionUrl(false)).path();
const QString configPath = QStringLiteral("/") + channel::updateConfigName();
const QString setupPath = QStringLiteral("/setup/REZ-setup.exe");
const QString patchListPath = QStringLiteral("/base/patchlist.json");
const QString fileListPath = QStringLiteral("/base/1_2/patchfiles.json");
const QString fullListPath = QStringLiteral("/base/1_2_full/patchfiles.json");

QString appDir(const QString& name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
}

} // namespace

class TestSignedContent : public QObject
{
    Q_OBJECT

    HttpTestServer server;
    KeyPair signer;
    KeyPair other;

    // Every document as served, signed by signer.
    QMap<QString, QByteArray> documents()
    {
        const QByteArray garbage = "no patch at all\n";
        return {
            {versionPath,
             QStringLiteral(R"({"version": 5, "url": "%1"})").arg(server.url(setupPath)).toUtf8() +
                 '\n'},
            {setupPath, "#!/bin/sh\nexit 0\n"},
            {configPath, QStringLiteral(R"({"Url": "%1", "OriginalUrl": "%1"})")
                                 .arg(server.url(QStringLiteral("/base")))
                                 .toUtf8() +
                             '\n'},
            {patchListPath,
             R"({"patchversion": {"s": {"version": 2, "preversion": 1, "path": "1_2"}},
                 "fullversion": {"version": 2, "preversion": 0, "path": "2_full"}})"
             "\n"},
            {fileListPath, listEntry(garbage, "diff")},
            {QStringLiteral("/base/1_2/a.txt.patch"), garbage},
            {fullListPath, listEntry(newFile, "add")},
            {QStringLiteral("/base/1_2_full/a.txt.patch"), newFile},
        };
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X display (run under xvfb-run)");
        QVERIFY(sodium_init() >= 0);
        QVERIFY(server.isListening());
    }

    void cleanup()
    {
        contentsig::setKeys(QString());
        QDir(appDir(QStringLiteral("Drevna"))).removeRecursively();
        QDir(appDir(QStringLiteral("Patch"))).removeRecursively();
        QFile::remove(appDir(QStringLiteral("setting.ini")));
    }

    void keys_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count");
        const QString key = QString(64, QLatin1Char('a'));
        QTest::newRow("none") << QString() << 0;
        QTest::newRow("one") << key << 1;
        QTest::newRow("two, spaced") << key + QStringLiteral(" , ") + key.toUpper() << 2;
        QTest::newRow("short") << key.left(63) << -1;
        QTest::newRow("not hex") << key.left(63) + QLatin1Char('g') << -1;
        QTest::newRow("empty item") << key + QLatin1Char(',') << -1;
    }

    // A list that cannot be read changes nothing; the keys in force stay.
    void keys()
    {
        QFETCH(QString, text);
        QFETCH(int, count);
        bool ok = false;
        QCOMPARE(contentsig::parseKeys(text, &ok).size(), qMax(count, 0));
        QCOMPARE(ok, count >= 0);
        QVERIFY(contentsig::setKeys(signer.hex()));
        QCOMPARE(contentsig::setKeys(text), count >= 0);
        QCOMPARE(contentsig::required(), count != 0);
    }

    void update_data()
    {
        QTest::addColumn<QString>("document"); // the one whose signature fails
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("keys"); // "signer", "other", comma-separated
        QTest::addColumn<bool>("primaryDown");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<int>("state"); // 0: the engine never starts
        QTest::addColumn<QString>("error");

        const QStringList declined{confirmText};
        QTest::newRow("all signed")
            << QString() << QString() << "signer" << false << declined << 7 << QString();
        QTest::newRow("two keys, the first")
            << QString() << QString() << "signer,other" << false << declined << 7 << QString();
        QTest::newRow("two keys, the second")
            << QString() << QString() << "other,signer" << false << declined << 7 << QString();
        QTest::newRow("no key") << QString() << QString() << QString() << false << declined << 7
                                << QString();

        struct Kind {
            QString path;
            bool primaryDown;
            QStringList boxes;
            int state;
            QString error;
        };
        const QList<Kind> kinds{
            {versionPath, false, {"检查更新失败-102"}, 7, QString()},
            {setupPath, false, {"检查更新失败-108"}, 7, QString()},
            {configPath, false, {confirmText, "检查更新失败-2"}, 0, QString()},
            {configPath, true, {confirmText, "检查更新失败-2"}, 0, QString()},
            {patchListPath, false, declined, 8, "/base/patchlist.json\\?time=\\d+ 解码错误$"},
            {fileListPath, false, declined, 8,
             "/base/1_2/patchfiles.json\\?time=\\d+ 配置解析失败$"},
            {fullListPath, false, declined, 8, "^应用补丁文件a.txt.patch diff失败$"},
        };
        for (const Kind& k : kinds) {
            for (const char* fault : {"missing", "truncated", "wrong", "flipped", "other key"}) {
                const QString tag =
                    k.path + (k.primaryDown ? " from B, " : ", ") + QLatin1String(fault);
                QTest::newRow(qPrintable(tag)) << k.path << QString::fromLatin1(fault) << "signer"
                                               << k.primaryDown << k.boxes << k.state << k.error;
            }
        }
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

        QStringList hex;
        for (const QString& k : keys.split(QLatin1Char(','), Qt::SkipEmptyParts))
            hex << (k == QLatin1String("signer") ? signer.hex() : other.hex());
        QVERIFY(contentsig::setKeys(hex.join(QLatin1Char(','))));

        server.clearRoutes();
        server.clearRequests();
        const QMap<QString, QByteArray> docs = documents();
        for (auto it = docs.constBegin(); it != docs.constEnd(); ++it) {
            QByteArray body = it.value();
            QByteArray sig = signer.sign(body);
            if (it.key() == document) {
                if (fault == QLatin1String("truncated"))
                    sig.chop(1);
                else if (fault == QLatin1String("wrong"))
                    sig = QByteArray(sig.size(), '\x5a');
                else if (fault == QLatin1String("other key"))
                    sig = other.sign(body);
                else if (fault == QLatin1String("flipped")) // still the same JSON
                    body[body.size() - 1] = ' ';
            }
            server.setFile(it.key(), body);
            if (!keys.isEmpty() && !(it.key() == document && fault == QLatin1String("missing")))
                server.setFile(it.key() + QStringLiteral(".sig"), sig);
        }

        // Installed: version 1 of the game and launcher version 4.
        const QString game = appDir(QStringLiteral("Drevna"));
        writeAll(game + QStringLiteral("/a.txt"), oldFile);
        writeAll(game + QStringLiteral("/localversion.json"), R"({"version": 1})");
        QSettings(appDir(QStringLiteral("setting.ini")), QSettings::IniFormat)
            .setValue(QStringLiteral("version/version"), 4);
        const QString setupFile =
            QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) +
            QStringLiteral("/Stm/REZ-setup.exe");

        PortForwarder forwarder(
            quint16(QUrl(primaryDown ? channel::contentBaseB() : channel::contentBaseA()).port()),
            server.port());
        QVERIFY(forwarder.isListening());
        ModalWatcher watcher;
        watcher.answerWith(QMessageBox::Cancel); // declines the setup program
        MainWindow window;
        LogCollector log;
        PatchManager* engine = window.patchManagerForTest();
        engine->patchFinishSleepMs = 0;
        if (state == 0) {
            QTRY_COMPARE_WITH_TIMEOUT(texts(watcher), boxes, 15000);
            QVERIFY(!QTest::qWaitFor([engine] { return engine->currentState() != 0; }, 300));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(engine->currentState() == 8 ||
                                         (engine->currentState() == 7 && engine->recheckCount == 0),
                                     30000);
            QCOMPARE(texts(watcher), boxes);
        }
        QCOMPARE(engine->currentState(), state);
        QVERIFY2(QRegularExpression(error).match(engine->errorText).hasMatch(),
                 qPrintable(engine->errorText));

        // One line names the failure and the address; without keys no
        // signature is even asked for.
        const QStringList refusals = log.matching(QStringLiteral("^signature "));
        QCOMPARE(refusals.size(), document.isEmpty() ? 0 : 1);
        if (!document.isEmpty())
            QVERIFY2(refusals.first().contains(document), qPrintable(refusals.first()));
        int signatureRequests = 0;
        for (const HttpTestServer::Request& r : server.requests())
            signatureRequests += r.path().endsWith(".sig") ? 1 : 0;
        QCOMPARE(signatureRequests == 0, keys.isEmpty());

        // Nothing of a refused document is installed, stored or started.
        const bool updated = state == 7;
        QCOMPARE(readAll(game + QStringLiteral("/a.txt")), updated ? newFile : oldFile);
        QCOMPARE(readJson(game + QStringLiteral("/localversion.json")).value("version").toInt(),
                 updated ? 2 : 1);
        QCOMPARE(QFile::exists(appDir(QStringLiteral("Patch/1_2/patchfiles.json"))),
                 document == fullListPath);
        QCOMPARE(QFile::exists(setupFile), document != setupPath && document != versionPath);
        QCOMPARE(QSettings(appDir(QStringLiteral("setting.ini")), QSettings::IniFormat)
                     .value(QStringLiteral("version/version"))
                     .toInt(),
                 4);
        QFile::remove(setupFile);
    }

private:
    // The confirmation box says its question in its informative text.
    static QStringList texts(const ModalWatcher& watcher)
    {
        QStringList out;
        for (const ModalWatcher::Box& box : watcher.boxes())
            out << box.text + box.informativeText;
        return out;
    }
    static QJsonObject readJson(const QString& path)
    {
        return QJsonDocument::fromJson(readAll(path)).object();
    }
};

int main(int argc, char** argv)
{
    // Downloads and the web profile go to a private home.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath("data")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath("cache")));
    qputenv("XDG_DOWNLOAD_DIR", QFile::encodeName(home.filePath("Downloads")));
    QApplication app(argc, argv);
    QDir::setCurrent(home.path());
    TestSignedContent test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_signedcontent.moc"

// The operator tools: the publisher's content, its refusals, and the
// tracking-log checker.
#include "patch/patchfile.h"
#include "publisher.h"
#include "rootkeys.h"
#include "samplegame.h"
#include "services/contentsignature.h"
#include "services/eventtracker.h"
#include "testfiles.h"
#include "trackcheck.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

namespace
{

QMap<QString, QByteArray> tree(const QString& dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(dir).relativeFilePath(path), readAll(path));
    }
    return files;
}

QString gameName(const QString& entryName)
{
    QString name = entryName.left(entryName.size() - 6);
    return name.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

// A request line as the launcher sends it, with the given values.
QString requestLine(const QStringList& values, const QString& sign = QString())
{
    QString line = QStringLiteral("GET /trackevent");
    const QStringList keys = trackcheck::parameterOrder();
    for (int i = 0; i < keys.size(); ++i)
        line += (i ? QStringLiteral("&") : QStringLiteral("?")) + keys.at(i) + QLatin1Char('=') +
                QString::fromLatin1(QUrl::toPercentEncoding(values.at(i)));
    line += QStringLiteral("&sign=") + (sign.isEmpty() ? trackcheck::signatureOf(values) : sign);
    return line + QStringLiteral(" HTTP/1.1");
}

// Seeded bytes drawn from an alphabet: few letters compress like text or
// tables, all 256 like nothing.
QByteArray drawn(quint32 seed, int size, const QByteArray& alphabet = {})
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        const uint v = seed >> 16;
        out[i] = alphabet.isEmpty() ? char(v) : alphabet.at(int(v % uint(alphabet.size())));
    }
    return out;
}

// old with each insertion put in at an even spread.
QByteArray inserted(QByteArray old, const QList<QByteArray>& parts)
{
    for (int i = parts.size() - 1; i >= 0; --i)
        old.insert(int(qint64(old.size()) * (i + 1) / (parts.size() + 1)), parts.at(i));
    return old;
}

QStringList goodValues()
{
    return {QStringLiteral("4"),
            QStringLiteral("{0f8fad5b-d9cb-469f-a165-70867728950e}"),
            QStringLiteral("update_error"),
            QStringLiteral("Ethernet"),
            QStringLiteral("Debian GNU/Linux 12 (bookworm)"),
            QStringLiteral("1700000000"),
            QStringLiteral("http://127.0.0.1/a b?c=d&e 下载失败(1),5s后重试"),
            QString(),
            QStringLiteral("QT_100")};
}

} // namespace

class TestPublish : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp;
    QString versions;
    QString out;
    publish::Summary summary;

private slots:
    void initTestCase()
    {
        QVERIFY(tmp.isValid());
        versions = tmp.filePath(QStringLiteral("versions"));
        out = tmp.filePath(QStringLiteral("out"));
        QString error;
        QVERIFY2(sample::makeSampleGame(versions, {}, &error), qPrintable(error));
        QVERIFY2(publish::publish(versions, out, {}, &summary, &error), qPrintable(error));
        QCOMPARE(summary.steps.size(), 3);
        QVERIFY(publish::formatSummary(summary).contains(QStringLiteral("10006_full")));
    }

    void patchList()
    {
        const QJsonObject list = readJson(out + QStringLiteral("/patchlist.json"));
        const QJsonObject full = list.value(QStringLiteral("fullversion")).toObject();
        QCOMPARE(full.value(QStringLiteral("preversion")).toInt(-1), 0);
        QCOMPARE(full.value(QStringLiteral("version")).toInt(), 10006);
        QCOMPARE(full.value(QStringLiteral("path")).toString(), QStringLiteral("10006_full"));
        QMap<int, int> steps; // version -> preversion
        const QJsonObject members = list.value(QStringLiteral("patchversion")).toObject();
        for (const QJsonValue v : members) {
            const QJsonObject step = v.toObject();
            steps.insert(step.value(QStringLiteral("version")).toInt(),
                         step.value(QStringLiteral("preversion")).toInt());
            QVERIFY(QFileInfo::exists(out + QLatin1Char('/') +
                                      step.value(QStringLiteral("path")).toString() +
                                      QStringLiteral("_full/patchfiles.json")));
        }
        QCOMPARE(steps, (QMap<int, int>{{10005, 10004}, {10006, 10005}}));
        // The report: what the launcher's chain search takes from each version.
        QStringList taken;
        for (const publish::Download& d : qAsConst(summary.downloads))
            taken << QStringLiteral("%1 %2 %3").arg(d.installed).arg(d.byChain).arg(d.choice);
        const qint64 steps5 = summary.steps.at(1).bytes,
                     steps4 = summary.steps.at(0).bytes + steps5;
        QCOMPARE(taken, (QStringList{QStringLiteral("10004 %1 chain").arg(steps4),
                                     QStringLiteral("10005 %1 chain").arg(steps5),
                                     "10006 -1 nothing", "0 -1 full package"}));
        QCOMPARE(summary.downloads.last().byPackage, summary.steps.last().bytes);
    }

    // Applying every step in order to the oldest version, with the launcher's
    // own patch code, yields the newest version; the "_full" twin of each
    // step holds the whole new files under the same names.
    void stepsReproduceVersions_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::newRow("10004 -> 10005") << 10004 << 10005;
        QTest::newRow("10005 -> 10006") << 10005 << 10006;
        QTest::newRow("full 10006") << 0 << 10006;
    }

    void stepsReproduceVersions()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        const QString path =
            from ? QStringLiteral("%1_%2").arg(from).arg(to) : QStringLiteral("%1_full").arg(to);
        const QString game = tmp.filePath(QStringLiteral("game-") + path);
        QDir(game).removeRecursively();
        if (from) {
            const auto old = tree(versions + QLatin1Char('/') + QString::number(from));
            for (auto it = old.constBegin(); it != old.constEnd(); ++it)
                QVERIFY(writeAll(game + QLatin1Char('/') + it.key(), it.value()));
        }
        const QString stepDir = out + QLatin1Char('/') + path;
        const QJsonArray files = readJson(stepDir + QStringLiteral("/patchfiles.json"))
                                     .value(QStringLiteral("filelist"))
                                     .toArray();
        const QJsonArray fullFiles =
            readJson(stepDir + (from ? QStringLiteral("_full") : QString()) +
                     QStringLiteral("/patchfiles.json"))
                .value(QStringLiteral("filelist"))
                .toArray();
        QStringList fullNames;
        for (const QJsonValue v : fullFiles)
            fullNames.append(v.toObject().value(QStringLiteral("name")).toString());
        QSet<QString> types;
        for (const QJsonValue v : files) {
            const QJsonObject e = v.toObject();
            const QString name = e.value(QStringLiteral("name")).toString();
            const QString type = e.value(QStringLiteral("type")).toString();
            QVERIFY2(name.endsWith(QLatin1String(".patch")), qPrintable(name));
            QVERIFY2(!name.contains(QLatin1Char('/')), qPrintable(name));
            types.insert(type);
            const QString target = game + QLatin1Char('/') + gameName(name);
            if (type == QLatin1String("del")) {
                QVERIFY(QFile::remove(target));
                continue;
            }
            QVERIFY2(fullNames.contains(name), qPrintable(name));
            const QString file =
                stepDir + QLatin1Char('/') + gameName(name) + QStringLiteral(".patch");
            const QByteArray bytes = readAll(file);
            QCOMPARE(qint64(bytes.size()), qint64(e.value(QStringLiteral("size")).toDouble()));
            QCOMPARE(md5Hex(bytes), e.value(QStringLiteral("md5")).toString());
            if (type == QLatin1String("diff")) {
                QCOMPARE(md5Hex(readAll(target)), e.value(QStringLiteral("srcmd5")).toString());
                QCOMPARE(applyPatchFile(QFile::encodeName(target), QFile::encodeName(file),
                                        QFile::encodeName(target + QStringLiteral(".new")), {}),
                         0);
                QFile::remove(target);
                QVERIFY(QFile::rename(target + QStringLiteral(".new"), target));
            } else {
                QCOMPARE(type, QStringLiteral("add"));
                QVERIFY(writeAll(target, bytes));
            }
            QCOMPARE(md5Hex(readAll(target)), e.value(QStringLiteral("destmd5")).toString());
        }
        QCOMPARE(tree(game), tree(versions + QLatin1Char('/') + QString::number(to)));
        if (from == 10005)
            QCOMPARE(types, (QSet<QString>{QStringLiteral("diff"), QStringLiteral("add"),
                                           QStringLiteral("del")}));
    }

    // Each patch is the smallest of its candidates that the launcher's
    // decoder turns into the new file: each compressor wins on data that
    // suits it, a file of several pieces joins them, and a patch larger
    // than its file gives way to the whole file unless diffs are forced.
    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("oldBytes");
        QTest::addColumn<QByteArray>("newBytes");
        QTest::addColumn<bool>("alwaysDiff");
        QTest::addColumn<QString>("made"); // "add", or the compressor of the diff
        const QByteArray old = drawn(1, 65536);
        const QByteArray text = "etaoinshrdlu \n";
        QTest::newRow("none: random bytes")
            << old << inserted(old, {drawn(2, 4096)}) << false << "none";
        QTest::newRow("fgk: a few letters")
            << old << inserted(old, {drawn(3, 150, "ab") + drawn(4, 150, "cd")}) << false << "fgk";
        QTest::newRow("djw1: text")
            << old << inserted(old, {drawn(5, 20000, text)}) << false << "djw1";
        QByteArray mixed;
        for (int i = 0; i < 32; ++i)
            mixed += drawn(6 + i, 1024, i % 2 ? text : QByteArray("\0\1\2\3"));
        QTest::newRow("djw: text and tables") << old << inserted(old, {mixed}) << false << "djw";
        QTest::newRow("larger than the file")
            << QByteArray("one") << QByteArray("two") << false << "add";
        QTest::newRow("larger, diff forced")
            << QByteArray("one") << QByteArray("two") << true << "none";
        const QByteArray large = drawn(9, 12 << 20);
        QList<QByteArray> texts;
        for (int i = 0; i < 8; ++i)
            texts.append(drawn(10 + i, 30000, text));
        QTest::newRow("in pieces") << large << inserted(large, texts) << false << "djw";
    }

    void roundTrip()
    {
        QFETCH(QByteArray, oldBytes);
        QFETCH(QByteArray, newBytes);
        QFETCH(bool, alwaysDiff);
        QFETCH(QString, made);
        const QString v = tmp.filePath(QStringLiteral("rt/") + QTest::currentDataTag());
        const QString o = v + QStringLiteral("-out");
        QVERIFY(writeAll(v + QStringLiteral("/1/f.bin"), oldBytes));
        QVERIFY(writeAll(v + QStringLiteral("/2/f.bin"), newBytes));
        publish::Options options;
        options.preferSmaller = !alwaysDiff;
        options.threads = 2;
        publish::Summary summary;
        QString error;
        QVERIFY2(publish::publish(v, o, options, &summary, &error), qPrintable(error));
        const QString patch = o + QStringLiteral("/1_2/f.bin.patch");
        QCOMPARE(summary.steps.first().compressors.keys(),
                 made == QLatin1String("add") ? QStringList() : QStringList{made});
        const QString out = o + QStringLiteral("/new.bin");
        QCOMPARE(made == QLatin1String("add") ? readAll(patch)
                 : applyPatchFile(QFile::encodeName(v + QStringLiteral("/1/f.bin")),
                                  QFile::encodeName(patch), QFile::encodeName(out), {}) == 0
                     ? readAll(out)
                     : QByteArray(),
                 newBytes);
    }

    void deterministic()
    {
        const QString again = tmp.filePath(QStringLiteral("again"));
        const QString againOut = tmp.filePath(QStringLiteral("again-out"));
        QString error;
        QVERIFY(sample::makeSampleGame(again, {}, &error));
        QCOMPARE(tree(again), tree(versions));
        // Given as relative folders, and on one thread, it publishes the
        // same names and bytes.
        const QString cwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(tmp.path()));
        publish::Options oneThread;
        oneThread.threads = 1;
        const bool published = publish::publish(
            QStringLiteral("again"), QStringLiteral("again-out"), oneThread, nullptr, &error);
        QDir::setCurrent(cwd);
        QVERIFY2(published, qPrintable(error));
        QCOMPARE(tree(againOut), tree(out));
    }

    void stepsFromOlder()
    {
        const QString o = tmp.filePath(QStringLiteral("older-out"));
        publish::Options options;
        options.stepsFromOlder = true;
        QString error;
        QVERIFY2(publish::publish(versions, o, options, nullptr, &error), qPrintable(error));
        const QJsonObject members = readJson(o + QStringLiteral("/patchlist.json"))
                                        .value(QStringLiteral("patchversion"))
                                        .toObject();
        QCOMPARE(members.size(), 3);
        // Where two steps end in the same version the launcher keeps the one
        // later in member order: that must be the step from the next version.
        QCOMPARE(members.value(members.keys().last())
                     .toObject()
                     .value(QStringLiteral("preversion"))
                     .toInt(),
                 10005);
        QVERIFY(QFileInfo::exists(o + QStringLiteral("/10004_10006_full/patchfiles.json")));
    }

    // A new key file is its owner's alone and never replaces another. The
    // content published with it has a signature beside every document, and
    // only there, that the launcher's check accepts under the printed key.
    void signing()
    {
        const QString keyFile = tmp.filePath(QStringLiteral("content.key"));
        const QString dir = tmp.filePath(QStringLiteral("signed"));
        QString error, publicKey;
        QVERIFY2(publish::generateKey(keyFile, &publicKey, &error), qPrintable(error));
        QCOMPARE(QFile::permissions(keyFile),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QVERIFY(!publish::generateKey(keyFile, &publicKey, &error));
        publish::Options options;
        QByteArray key;
        QVERIFY2(publish::loadSigningKey(keyFile, &key, &error), qPrintable(error));
        options.signingKeys = {key};
        QCOMPARE(publish::publicKeyHex(key), publicKey);
        QVERIFY2(publish::publish(versions, dir, options, nullptr, &error), qPrintable(error));
        QVERIFY2(publish::signFile(dir + QStringLiteral("/10006_full/Drevna.exe.patch"), dir,
                                   options.signingKeys, 1, 0, &error),
                 qPrintable(error));

        // Each envelope admits its document as named and nothing else; the
        // second round, signed again with an expiry, makes the first older.
        QVERIFY(contentsig::setKeys(publicKey));
        QMap<QString, QByteArray> before;
        for (const bool resigned : {false, true}) {
            QVERIFY(!resigned ||
                    publish::resign(dir, options.signingKeys, publish::expiryAfterDays(2), &error));
            const QMap<QString, QByteArray> files = tree(dir);
            for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
                const QByteArray sig = files.value(it.key() + QStringLiteral(".sig"));
                const QString name = it.key();
                const auto kind = name.endsWith("patchlist.json")    ? contentsig::Kind::PatchList
                                  : name.endsWith("patchfiles.json") ? contentsig::Kind::FileList
                                                                     : contentsig::Kind::Setup;
                auto admits = [&](const QByteArray& env, const QString& as, const QByteArray& b) {
                    return contentsig::Signature::fromEnvelope(env, {kind, as}).admits(b, as);
                };
                if (name.endsWith(QLatin1String(".sig")))
                    continue;
                QVERIFY2(admits(sig, name, it.value()) == (name.endsWith(QLatin1String(".json")) ||
                                                           name == "10006_full/Drevna.exe.patch"),
                         qPrintable(name));
                QVERIFY(!admits(sig, name, it.value() + ' ') &&
                        !admits(sig, "x/" + name, it.value()));
                QVERIFY(!resigned || !admits(before.value(name + ".sig"), name, it.value()));
                contentsig::Statement statement;
                QVERIFY(!resigned || sig.isEmpty() ||
                        (contentsig::Statement::fromJson(contentsig::envelopeStatement(sig),
                                                         &statement) &&
                         statement.expires > QDateTime::currentSecsSinceEpoch()));
            }
            before = files;
        }
        contentsig::setKeys(QString());
    }

    // A keys document version that the publisher writes is one a launcher
    // trusts, and one it would refuse is never written.
    void rotation_data()
    {
        QTest::addColumn<QString>("signers"); // 1: the first root key, 2: a new one
        QTest::addColumn<bool>("replaceRoot");
        QTest::addColumn<bool>("dropContent");
        QTest::newRow("renewed") << "1" << false << false;
        QTest::newRow("root replaced, signed by both") << "12" << true << false;
        QTest::newRow("root replaced, signed by the new one only") << "2" << true << false;
        QTest::newRow("root replaced, signed by the old one only") << "1" << true << false;
        QTest::newRow("no content key left") << "1" << false << true;
    }

    void rotation()
    {
        QFETCH(QString, signers);
        QFETCH(bool, replaceRoot);
        QFETCH(bool, dropContent);
        QTemporaryDir dir;
        QString error, hex;
        QStringList rootHex;
        QByteArray content, first, second;
        QVERIFY(publish::generateKey(dir.filePath("c.key"), &hex, &error) &&
                publish::publicKeyArg(hex, &content, &error) &&
                publish::generateKey(dir.filePath("new.key"), &hex, &error) &&
                publish::loadSigningKey(dir.filePath("new.key"), &second, &error));
        QVERIFY2(publish::rootInit(dir.filePath("root"), 1, 1, {content}, 1, 2000000000,
                                   dir.filePath("served"), &rootHex, &error) &&
                     publish::loadSigningKey(dir.filePath("root/root-1.key"), &first, &error),
                 qPrintable(error));
        publish::KeysChange change;
        change.expires = publish::expiryAfterDays(1);
        if (replaceRoot) {
            change.addRoot = {QByteArray::fromHex(publish::publicKeyHex(second).toLatin1())};
            change.removeRoot = {QByteArray::fromHex(rootHex.first().toLatin1())};
        }
        if (dropContent)
            change.removeContent = {content};
        QList<QByteArray> signing;
        for (const QChar k : signers)
            signing << (k == '1' ? first : second);
        contentsig::KeysDocument written;
        const bool ok = publish::rotate(dir.filePath("served"), change, signing, &written, &error);
        QCOMPARE(ok, signers == "12" || !(replaceRoot || dropContent));
        QCOMPARE(QFileInfo::exists(dir.filePath("served/keys/2.sig")), ok);
        QVERIFY(contentsig::setRootKeys(rootHex.first(), 1));
        QVERIFY(contentsig::trustNextKeys(readAll(dir.filePath("served/keys/1.sig")), "1") &&
                contentsig::trustNextKeys(readAll(dir.filePath("served/keys.sig")), "2") == ok);
        contentsig::setRootKeys(QString(), 1);
    }

    void unsafeNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("safe");
        QTest::newRow("plain") << "Data/world.pak" << true;
        QTest::newRow("blank inside") << "Data/my map.dat" << true;
        QTest::newRow("dot dot") << "Data/../../etc/passwd" << false;
        QTest::newRow("absolute") << "/etc/passwd" << false;
        QTest::newRow("backslash") << "Data\\x.pak" << false;
        QTest::newRow("device") << "Data/con.txt" << false;
        QTest::newRow("colon") << "a:b" << false;
        QTest::newRow("url fragment") << "a#b" << false;
        QTest::newRow("percent") << "a%41" << false;
        QTest::newRow("non-ascii") << QStringLiteral("地图.dat") << false;
        QTest::newRow("control") << "a\tb" << false;
        QTest::newRow("trailing dot") << "Data./x" << false;
        QTest::newRow("launcher's file") << "localversion.json" << false;
        QTest::newRow("launcher's name deeper") << "Data/localversion.json" << true;
    }

    void unsafeNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, safe);
        QCOMPARE(publish::unsafeNameReason(name).isEmpty(), safe);
    }

    // Refused input leaves the published content exactly as it was.
    void refusals_data()
    {
        QTest::addColumn<QString>("problem");
        QTest::newRow("unsafe name") << "name";
        QTest::newRow("case collision") << "case";
        QTest::newRow("symbolic link") << "link";
        QTest::newRow("stray folder") << "folder";
    }

    void refusals()
    {
        QFETCH(QString, problem);
        const QString v = tmp.filePath(QStringLiteral("bad-") + problem);
        const QString o = tmp.filePath(QStringLiteral("bad-out-") + problem);
        QVERIFY(writeAll(v + QStringLiteral("/1/a.txt"), "one"));
        QVERIFY(writeAll(v + QStringLiteral("/2/a.txt"), "two"));
        QString error;
        QVERIFY2(publish::publish(v, o, {}, nullptr, &error), qPrintable(error));
        const auto before = tree(o);
        if (problem == QLatin1String("name"))
            QVERIFY(writeAll(v + QStringLiteral("/2/b?.txt"), "x"));
        else if (problem == QLatin1String("case"))
            QVERIFY(writeAll(v + QStringLiteral("/2/A.txt"), "x"));
        else if (problem == QLatin1String("link"))
            QVERIFY(QFile::link(QStringLiteral("/etc/hostname"), v + QStringLiteral("/2/l.txt")));
        else
            QVERIFY(QDir().mkpath(v + QStringLiteral("/beta")));
        QVERIFY(!publish::publish(v, o, {}, nullptr, &error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(tree(o), before);
        QVERIFY(!QFileInfo::exists(o + QStringLiteral(".new")));
    }

    void trackingReports_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("problem"); // part of the expected problem text
        const QStringList good = goodValues();
        // Sound as the launcher itself signs it (its client id file in tmp).
        QVERIFY(QDir::setCurrent(tmp.path()));
        EventTracker* tracker = EventTracker::instance();
        tracker->url = QStringLiteral("/trackevent");
        QTest::newRow("sound") << "GET " + tracker->buildUrl("update_error", good.at(6), {}, 1) +
                                      " HTTP/1.1"
                               << QString();
        QTest::newRow("bad signature")
            << requestLine(good, QStringLiteral("0123456789abcdef0123456789abcdef"))
            << QStringLiteral("signature");
        QString swapped = requestLine(good);
        swapped.replace(QStringLiteral("channel="), QStringLiteral("tmp="))
            .replace(QStringLiteral("&clientid="), QStringLiteral("&channel="))
            .replace(QStringLiteral("tmp="), QStringLiteral("clientid="));
        QTest::newRow("order") << swapped << QStringLiteral("expected");
        QString lower = requestLine(good);
        lower.replace(QStringLiteral("%7B"), QStringLiteral("%7b"));
        QTest::newRow("encoding") << lower << QStringLiteral("encoded");
        QStringList badVersion = good;
        badVersion[8] = QStringLiteral("QT_101");
        QTest::newRow("version") << requestLine(badVersion) << QStringLiteral("QT_100");
        QTest::newRow("other path")
            << QStringLiteral("GET /other?x=1 HTTP/1.1") << QStringLiteral("trackevent");
    }

    void trackingReports()
    {
        QFETCH(QString, line);
        QFETCH(QString, problem);
        const QByteArray log = "2024-01-01T00:00:00+00:00 \"" + line.toLatin1() + "\"\n\n";
        const QList<trackcheck::Report> reports = trackcheck::checkLog(log);
        QCOMPARE(reports.size(), 1);
        if (problem.isEmpty()) {
            QCOMPARE(reports.first().problem, QString());
            QCOMPARE(reports.first().name, QStringLiteral("update_error"));
            QCOMPARE(reports.first().val1, goodValues().at(6));
        } else {
            QVERIFY2(reports.first().problem.contains(problem),
                     qPrintable(reports.first().problem));
        }
    }
};

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"

#include "enginetest.h"

#include <QtTest>

namespace
{
// The example list: 10004->10005, 10005->10006 and a full package 0->10006.
QJsonObject exampleList()
{
    return {{"patchversion", QJsonObject{{"b", stepJson(10005, 10006, "10006")},
                                         {"a", stepJson(10004, 10005, "10005")}}},
            {"fullversion", stepJson(0, 10006, "full10006")}};
}

// "newest first" chain as text: "pre>version,pre>version".
QString chainText(const PatchChain& chain)
{
    QStringList parts;
    for (const PatchStep& s : chain)
        parts << QString("%1>%2").arg(s.preVersion).arg(s.version);
    return parts.join(',');
}
} // namespace

class TestPatchChain : public QObject
{
    Q_OBJECT

private slots:
    void exampleTable_data();
    void exampleTable();
    void listVariants_data();
    void listVariants();
    void duplicateVersionUsesLaterMember();
    void newestByVersionNotByName();
    void brokenPathShowsVersionsTwice();
};

void TestPatchChain::exampleTable_data()
{
    QTest::addColumn<int>("local");
    QTest::addColumn<QString>("chain");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QString>("shown"); // the last current-version text
    QTest::newRow("current") << 10006 << ""
                             << "^skip patch chain "
                             << "100.0.6";
    QTest::newRow("two steps") << 10004 << "10005>10006,10004>10005"
                               << ""
                               << "100.0.4";
    QTest::newRow("one step") << 10005 << "10005>10006"
                              << ""
                              << "100.0.5";
    QTest::newRow("unknown old") << 10001 << "0>10006"
                                 << "^cant get patch version +10004"
                                 << "0.0.0";
    QTest::newRow("nothing installed") << 0 << "0>10006"
                                       << ""
                                       << "0.0.0";
    QTest::newRow("newer than list") << 10007 << ""
                                     << "^skip patch chain "
                                     << "100.0.7";
}

void TestPatchChain::exampleTable()
{
    QFETCH(int, local);
    QFETCH(QString, chain);
    QFETCH(QString, logLine);
    QFETCH(QString, shown);
    FakeDisplay display;
    PatchManager manager;
    probe(manager).window = &display;
    if (!logLine.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(logLine));
    int result = -1;
    const PatchChain found = manager.findPatchChain(exampleList(), local, local == 0, result);
    QCOMPARE(result, 0);
    QCOMPARE(chainText(found), chain);
    QCOMPARE(probe(manager).remoteVersion, 10006);
    QCOMPARE(display.with("version:").last(), "当前版本" + shown + "|最新版本100.0.6");
    if (chain == "0>10006")
        QCOMPARE(found.first().path, QString("full10006"));
}

void TestPatchChain::listVariants_data()
{
    QTest::addColumn<QJsonObject>("list");
    QTest::addColumn<int>("local");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("chain");

    const QJsonObject cycle{{"patchversion", QJsonObject{{"a", stepJson(10005, 10006, "p6")},
                                                         {"b", stepJson(10006, 10005, "p5")}}}};
    QTest::newRow("cycle, no full package") << cycle << 10003 << 2 << "";
    const QJsonObject selfLoop{{"patchversion", QJsonObject{{"a", stepJson(10006, 10006, "p6")}}}};
    QTest::newRow("self loop") << selfLoop << 10003 << 2 << "";
    QJsonObject cycleWithFull = cycle;
    cycleWithFull.insert("fullversion", stepJson(0, 10006, "full"));
    QTest::newRow("cycle, full package") << cycleWithFull << 10003 << 0 << "0>10006";

    QTest::newRow("empty list, installed") << QJsonObject() << 10005 << 0 << "";
    QTest::newRow("empty list, nothing installed") << QJsonObject() << 0 << 1 << "";
    const QJsonObject noFull{{"patchversion", QJsonObject{{"a", stepJson(10004, 10005, "p5")},
                                                          {"z", stepJson(0, 10004, "base")}}}};
    QTest::newRow("no fullversion, chain from 0") << noFull << 0 << 0 << "10004>10005,0>10004";
    QTest::newRow("no fullversion, from 0 in the middle")
        << noFull << 10002 << 0 << "10004>10005,0>10004";
    const QJsonObject noZero{{"patchversion", QJsonObject{{"a", stepJson(10004, 10005, "p5")}}}};
    QTest::newRow("no fullversion, no step from 0") << noZero << 0 << 2 << "";
    const QJsonObject badFull{{"patchversion", QJsonObject{{"a", stepJson(10004, 10005, "p5")}}},
                              {"fullversion", stepJson(10001, 10005, "full")}};
    QTest::newRow("full package with preversion") << badFull << 10002 << 2 << "";
    const QJsonObject below{{"patchversion", QJsonObject{{"a", stepJson(10003, 10006, "p6")},
                                                         {"b", stepJson(10001, 10003, "p3")}}},
                            {"fullversion", stepJson(0, 10006, "full")}};
    QTest::newRow("chain passes below local") << below << 10004 << 0 << "0>10006";
    // A full package without a version reads as 0: no way to the newest.
    const QJsonObject fullWithoutVersion{{"patchversion", noZero.value("patchversion")},
                                         {"fullversion", QJsonObject{{"path", "full"}}}};
    QTest::newRow("broken chain, full package of version 0")
        << fullWithoutVersion << 10002 << 2 << "";
    QTest::newRow("nothing installed, full package of version 0")
        << fullWithoutVersion << 0 << 0 << "";
}

void TestPatchChain::listVariants()
{
    QFETCH(QJsonObject, list);
    QFETCH(int, local);
    QFETCH(int, result);
    QFETCH(QString, chain);
    PatchManager manager;
    int got = -1;
    const PatchChain found = manager.findPatchChain(list, local, local == 0, got);
    QCOMPARE(got, result);
    // With any other result the caller drops the chain.
    if (result == 0)
        QCOMPARE(chainText(found), chain);
}

void TestPatchChain::duplicateVersionUsesLaterMember()
{
    PatchManager manager;
    const QJsonObject list{{"patchversion", QJsonObject{{"m1", stepJson(10004, 10005, "first")},
                                                        {"m2", stepJson(10003, 10005, "second")}}}};
    const QMap<int, PatchStep> map = manager.buildPatchMap(list, false);
    QCOMPARE(map.size(), 1);
    QCOMPARE(map.value(10005).path, QString("second"));
    int result = -1;
    QCOMPARE(chainText(manager.findPatchChain(list, 10003, false, result)), QString("10003>10005"));
}

void TestPatchChain::newestByVersionNotByName()
{
    PatchManager manager;
    const QJsonObject list{{"patchversion", QJsonObject{{"a_newest", stepJson(10005, 10006, "p6")},
                                                        {"z_old", stepJson(10004, 10005, "p5")}}}};
    int result = -1;
    const PatchChain found = manager.findPatchChain(list, 10004, false, result);
    QCOMPARE(chainText(found), QString("10005>10006,10004>10005"));
    QCOMPARE(probe(manager).remoteVersion, 10006);
    // Full mode takes only "fullversion" when there is one.
    const QMap<int, PatchStep> full = manager.buildPatchMap(exampleList(), true);
    QCOMPARE(full.keys(), QList<int>{10006});
    QCOMPARE(full.first().path, QString("full10006"));
}

void TestPatchChain::brokenPathShowsVersionsTwice()
{
    FakeDisplay display;
    PatchManager manager;
    probe(manager).window = &display;
    int result = -1;
    manager.findPatchChain(exampleList(), 10001, false, result);
    QCOMPARE(display.with("version:"),
             (QStringList{"当前版本100.0.1|最新版本100.0.6", "当前版本0.0.0|最新版本100.0.6"}));
}

QTEST_GUILESS_MAIN(TestPatchChain)
#include "tst_patchchain.moc"

#include "app/channel.h"

#include <QtTest>

using C = MainWindow::PlatformType;
Q_DECLARE_METATYPE(C)

class TestChannel : public QObject
{
    Q_OBJECT

private slots:
    void values_data();
    void values();
    void launcherVersionUrl_data();
    void launcherVersionUrl();
    void links_data();
    void links();
    void enumIsRegistered();
};

void TestChannel::values_data()
{
    QTest::addColumn<C>("c");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("logo");

    QTest::newRow("STM") << MainWindow::STM << "DVSTMApplicationKey"
                         << ":/img/zsb_stm_icon.png"
                         << "Stm"
                         << "Drevna"
                         << "StellmarClient/updateconfig_Stm.txt"
                         << ":/img/stm-pc_logo.png";
    QTest::newRow("STM_TAMSEL") << MainWindow::STM_TAMSEL << "DVSTMTAMSELApplicationKey"
                                << ":/img/zsb_stm_icon.png"
                                << "Stm_Tamsel"
                                << "DrevnaTSL"
                                << "StellmarClient_Tamsel/updateconfig_Stm.txt"
                                << ":/img/stm-pc_logo.png";
    QTest::newRow("PELLAN") << MainWindow::PELLAN << "DVPLApplicationKey"
                            << ":/img/zsb_Vossik_icon.png"
                            << "Pellan"
                            << "DrevnaPL"
                            << "updateConfig_v3_Vossik.txt"
                            << ":/img/pl_tovel.png";
    QTest::newRow("NIMBREL") << MainWindow::NIMBREL << "DVNBApplicationKey"
                             << ":/img/zsb_nb_icon.png"
                             << "Nimbrel"
                             << "DrevnaNB"
                             << "updateConfig_v3_Nimbrel.txt"
                             << ":/img/nb_logo.png";
    // RAVLO and DEBUG share one key, so the two cannot run side by side.
    QTest::newRow("RAVLO") << MainWindow::RAVLO << "DrevnaApplicationKey"
                           << ":/img/zsb_stm_icon.png"
                           << "Stm"
                           << "Drevna" << QString() << ":/img/ravlo-pc_logo.png";
    QTest::newRow("DEBUG") << MainWindow::DEBUG << "DrevnaApplicationKey"
                           << ":/img/zsb_stm_icon.png"
                           << "Stm"
                           << "Drevna" << QString() << QString();
    QTest::newRow("STM_OVERSEAS") << MainWindow::STM_OVERSEAS << "DVSTMOVERSEASApplicationKey"
                                  << ":/img/zsb_stm_icon.png"
                                  << "Stm"
                                  << "DrevnaOverseas"
                                  << "StellmarClient_Overseas/updateconfig_Stm.txt"
                                  << ":/img/stm-pc_logo.png";
}

void TestChannel::values()
{
    QFETCH(C, c);
    QFETCH(QString, key);
    QFETCH(QString, icon);
    QFETCH(QString, client);
    QFETCH(QString, product);
    QFETCH(QString, config);
    QFETCH(QString, logo);
    QCOMPARE(channel::applicationKey(c), key);
    QCOMPARE(channel::channelIconPath(c, "png"), icon);
    QCOMPARE(channel::channelIconPath(c, "ico"), icon.chopped(3) + "ico");
    QCOMPARE(channel::clientName(c), client);
    QCOMPARE(channel::productName(c), product);
    QCOMPARE(channel::updateConfigName(c), config);
    QCOMPARE(channel::logoPath(c), logo);
}

void TestChannel::launcherVersionUrl_data()
{
    QTest::addColumn<C>("c");
    QTest::addColumn<QString>("path");
    QTest::newRow("STM") << MainWindow::STM << "StellmarClient/Downloader/version.txt";
    QTest::newRow("STM_TEST") << MainWindow::STM_TEST
                              << "StellmarClientTest/Downloader/version.txt";
    QTest::newRow("QUORVEL") << MainWindow::QUORVEL
                             << "StellmarClient_Quorvel/Downloader/version.txt";
    QTest::newRow("DEBUG") << MainWindow::DEBUG << "Downloader/version.txt";
}

void TestChannel::launcherVersionUrl()
{
    QFETCH(C, c);
    QFETCH(QString, path);
    QVERIFY(channel::contentBaseA().endsWith('/'));
    QVERIFY(channel::contentBaseB().endsWith('/'));
    QVERIFY(channel::contentBaseA() != channel::contentBaseB());
    QCOMPARE(channel::launcherVersionUrl(c, false), channel::contentBaseA() + path);
    QCOMPARE(channel::launcherVersionUrl(c, true), channel::contentBaseB() + path);
}

void TestChannel::links_data()
{
    QTest::addColumn<C>("c");
    QTest::addColumn<bool>("twoLinks");
    QTest::addColumn<bool>("hasRegister");
    QTest::addColumn<bool>("hasGuide");
    QTest::addColumn<bool>("hasCommunity");
    QTest::addColumn<bool>("passesArgs");
    QTest::newRow("STM") << MainWindow::STM << true << false << false << true << false;
    QTest::newRow("RAVLO") << MainWindow::RAVLO << true << false << false << true << false;
    QTest::newRow("NIMBREL") << MainWindow::NIMBREL << false << true << true << true << true;
    QTest::newRow("PELLAN") << MainWindow::PELLAN << false << true << true << true << false;
    QTest::newRow("QUORVEL") << MainWindow::QUORVEL << false << false << true << true << false;
    QTest::newRow("DEBUG") << MainWindow::DEBUG << false << false << false << false << false;
}

void TestChannel::links()
{
    QFETCH(C, c);
    QFETCH(bool, twoLinks);
    QFETCH(bool, hasRegister);
    QFETCH(bool, hasGuide);
    QFETCH(bool, hasCommunity);
    QFETCH(bool, passesArgs);
    QCOMPARE(channel::twoLinkTitleBar(c), twoLinks);
    QCOMPARE(!channel::registerAccountUrl(c).isEmpty(), hasRegister);
    QCOMPARE(!channel::gameGuideUrl(c).isEmpty(), hasGuide);
    QCOMPARE(!channel::gamerCommunityUrl(c).isEmpty(), hasCommunity);
    QCOMPARE(channel::passesArgumentsToGame(c), passesArgs);
    if (hasRegister && c == MainWindow::PELLAN)
        QVERIFY(channel::registerAccountUrl(c).endsWith("?src=client&ext=1001&game=drevna&hd="));
    if (c == MainWindow::STM) {
        QVERIFY(channel::officialSiteUrl(c).endsWith("#first"));
        QCOMPARE(channel::embeddedPage(c), channel::portalHost() + "/portal/index/ravloravlo");
    }
    if (c == MainWindow::QUORVEL) {
        QCOMPARE(channel::gameGuideUrl(c),
                 channel::portalHost() + "/portal/article/index.html?id=115");
        QCOMPARE(channel::gamerCommunityUrl(c),
                 channel::portalHost() + "/portal/article/index.html?id=651");
    }
}

void TestChannel::enumIsRegistered()
{
    const QMetaEnum e = QMetaEnum::fromType<MainWindow::PlatformType>();
    QVERIFY(e.isValid());
    QVERIFY(!e.isFlag());
    QCOMPARE(e.keyCount(), 9);
    QCOMPARE(e.keyToValue("STM_TAMSEL"), 8);
}

QTEST_APPLESS_MAIN(TestChannel)
#include "tst_channel.moc"

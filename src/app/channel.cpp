#include "app/channel.h"

namespace channel
{

namespace
{
// Pages of the publishers, the operator and the store are fixed per channel.
const char* const developerHome = "https://www.drevna.example/";
const char* const vossikSite = "https://drevna.vossik.example/";
const char* const vossikBase = "https://www.vossik.example";
const char* const nimbrelBase = "https://cloud.nimbrel.example";
const char* const storePage = "https://store.ravlo.example/app/drevna";
const char* const chatGroup = "https://chat.nimbrel.example/invite/drevna";
} // namespace

QString applicationKey(Type c)
{
    switch (c) {
    case MainWindow::PELLAN:
        return "DVPLApplicationKey";
    case MainWindow::NIMBREL:
        return "DVNBApplicationKey";
    case MainWindow::QUORVEL:
        return "DVQVApplicationKey";
    case MainWindow::STM:
        return "DVSTMApplicationKey";
    case MainWindow::STM_OVERSEAS:
        return "DVSTMOVERSEASApplicationKey";
    case MainWindow::STM_TEST:
        return "DVSTMTESTApplicationKey";
    case MainWindow::STM_TAMSEL:
        return "DVSTMTAMSELApplicationKey";
    case MainWindow::DEBUG:
    case MainWindow::RAVLO:
        break;
    }
    return "DrevnaApplicationKey";
}

QString channelIconPath(Type c, const QString& extension)
{
    QString base;
    switch (c) {
    case MainWindow::PELLAN:
        base = ":/img/zsb_Vossik_icon";
        break;
    case MainWindow::NIMBREL:
        base = ":/img/zsb_nb_icon";
        break;
    case MainWindow::QUORVEL:
        base = ":/img/zsb_quorvel_icon";
        break;
    default:
        base = ":/img/zsb_stm_icon";
        break;
    }
    return base + "." + extension;
}

QString clientName(Type c)
{
    switch (c) {
    case MainWindow::PELLAN:
        return "Pellan";
    case MainWindow::NIMBREL:
        return "Nimbrel";
    case MainWindow::QUORVEL:
        return "Quorvel";
    case MainWindow::STM_TAMSEL:
        return "Stm_Tamsel";
    default:
        return "Stm";
    }
}

QString productName(Type c)
{
    switch (c) {
    case MainWindow::PELLAN:
        return "DrevnaPL";
    case MainWindow::NIMBREL:
        return "DrevnaNB";
    case MainWindow::QUORVEL:
        return "DrevnaQuorvel";
    case MainWindow::STM_OVERSEAS:
        return "DrevnaOverseas";
    case MainWindow::STM_TEST:
        return "DrevnaTest";
    case MainWindow::STM_TAMSEL:
        return "DrevnaTSL";
    default:
        return "Drevna";
    }
}

QString updateConfigName(Type c)
{
    switch (c) {
    case MainWindow::PELLAN:
        return "updateConfig_v3_Vossik.txt";
    case MainWindow::NIMBREL:
        return "updateConfig_v3_Nimbrel.txt";
    case MainWindow::QUORVEL:
        return "updateConfig_v3_Quorvel.txt";
    case MainWindow::STM:
        return "StellmarClient/updateconfig_Stm.txt";
    case MainWindow::STM_OVERSEAS:
        return "StellmarClient_Overseas/updateconfig_Stm.txt";
    case MainWindow::STM_TEST:
        return "StellmarClientTest/updateconfig_Stm.txt";
    case MainWindow::STM_TAMSEL:
        return "StellmarClient_Tamsel/updateconfig_Stm.txt";
    default:
        return QString();
    }
}

QString launcherVersionUrl(Type c, bool fallback)
{
    QString path;
    switch (c) {
    case MainWindow::PELLAN:
        path = "StellmarClient_Vossik/Downloader/version.txt";
        break;
    case MainWindow::NIMBREL:
        path = "StellmarClient_Nimbrel/Downloader/version.txt";
        break;
    case MainWindow::QUORVEL:
        path = "StellmarClient_Quorvel/Downloader/version.txt";
        break;
    case MainWindow::STM:
        path = "StellmarClient/Downloader/version.txt";
        break;
    case MainWindow::STM_OVERSEAS:
        path = "StellmarClient_Overseas/Downloader/version.txt";
        break;
    case MainWindow::STM_TEST:
        path = "StellmarClientTest/Downloader/version.txt";
        break;
    case MainWindow::STM_TAMSEL:
        path = "StellmarClient_Tamsel/Downloader/version.txt";
        break;
    default:
        path = "Downloader/version.txt";
        break;
    }
    return (fallback ? contentBaseB() : contentBaseA()) + path;
}

QString logoPath(Type c)
{
    switch (c) {
    case MainWindow::PELLAN:
        return ":/img/pl_tovel.png";
    case MainWindow::NIMBREL:
        return ":/img/nb_logo.png";
    case MainWindow::QUORVEL:
        return ":/img/qv_logo.png";
    case MainWindow::RAVLO:
        return ":/img/ravlo-pc_logo.png";
    case MainWindow::STM:
    case MainWindow::STM_OVERSEAS:
    case MainWindow::STM_TEST:
    case MainWindow::STM_TAMSEL:
        return ":/img/stm-pc_logo.png";
    case MainWindow::DEBUG:
        break;
    }
    return QString();
}

QString embeddedPage(Type c)
{
    switch (c) {
    case MainWindow::PELLAN:
        return QString(vossikSite) + "launcher/";
    case MainWindow::NIMBREL:
        return QString(nimbrelBase) + "/news/drevna";
    case MainWindow::QUORVEL:
        return portalHost() + "/portal/index/extraindex";
    case MainWindow::DEBUG:
        return QString();
    default:
        return portalHost() + "/portal/index/ravloravlo";
    }
}

QString officialSiteUrl(Type c)
{
    switch (c) {
    case MainWindow::PELLAN:
        return vossikSite;
    case MainWindow::NIMBREL:
        return QString(nimbrelBase) + "/game/drevna";
    case MainWindow::QUORVEL:
        return developerHome;
    case MainWindow::DEBUG:
        return QString();
    default:
        return QString(developerHome) + "#first";
    }
}

QString registerAccountUrl(Type c)
{
    switch (c) {
    case MainWindow::PELLAN:
        return QString(vossikBase) + "/register?src=client&ext=1001&game=drevna&hd=";
    case MainWindow::NIMBREL:
        return QString(nimbrelBase) + "/login/register";
    default:
        return QString();
    }
}

QString gameGuideUrl(Type c)
{
    switch (c) {
    case MainWindow::PELLAN:
        return QString(vossikSite) + "gonglue/index.html";
    case MainWindow::NIMBREL:
        return QString(nimbrelBase) + "/articles/drevna";
    case MainWindow::QUORVEL:
        return portalHost() + "/portal/article/index.html?id=115";
    default:
        return QString();
    }
}

QString gamerCommunityUrl(Type c)
{
    switch (c) {
    case MainWindow::PELLAN:
        return QString(vossikSite) + "shequn.html";
    case MainWindow::NIMBREL:
        return chatGroup;
    case MainWindow::QUORVEL:
        return portalHost() + "/portal/article/index.html?id=651";
    case MainWindow::DEBUG:
        return QString();
    default:
        return storePage;
    }
}

bool twoLinkTitleBar(Type c)
{
    return c == MainWindow::RAVLO || c == MainWindow::STM || c == MainWindow::STM_OVERSEAS ||
           c == MainWindow::STM_TEST || c == MainWindow::STM_TAMSEL;
}

bool passesArgumentsToGame(Type c)
{
    return c == MainWindow::NIMBREL;
}

QString applicationKey()
{
    return applicationKey(buildChannel);
}
QString channelIconPath(const QString& extension)
{
    return channelIconPath(buildChannel, extension);
}
QString clientName()
{
    return clientName(buildChannel);
}
QString productName()
{
    return productName(buildChannel);
}
QString updateConfigName()
{
    return updateConfigName(buildChannel);
}
QString launcherVersionUrl(bool fallback)
{
    return launcherVersionUrl(buildChannel, fallback);
}

} // namespace channel

#pragma once

#include "app/program.h"
#include "app/mainwindow.h"

#include <QString>

// Every channel-dependent value, as a pure function of the channel. The
// overloads without a channel answer for the program's own channel.
namespace channel
{

using Type = MainWindow::PlatformType;

QString applicationKey(Type c);
QString channelIconPath(Type c, const QString& extension);
QString clientName(Type c);
QString productName(Type c);
QString updateConfigName(Type c);
QString launcherVersionUrl(Type c, bool fallback);
QString logoPath(Type c);
QString embeddedPage(Type c);
QString officialSiteUrl(Type c);
QString registerAccountUrl(Type c);
QString gameGuideUrl(Type c);
QString gamerCommunityUrl(Type c);
// The title bar shows only the official-site and community links.
bool twoLinkTitleBar(Type c);
// The game gets the launcher's own arguments 1 and 2.
bool passesArgumentsToGame(Type c);

QString applicationKey();
QString channelIconPath(const QString& extension);
QString clientName();
QString productName();
QString updateConfigName();
QString launcherVersionUrl(bool fallback);

} // namespace channel

#include "services/settings.h"

#include "app/buildconfig.h"

#include <QCoreApplication>
#include <QSettings>

QString launcherSettingsPath()
{
    if (buildFolderLayout == FolderLayout::InstalledApp)
        return QStringLiteral("setting.ini");
    return QCoreApplication::applicationDirPath() + QStringLiteral("/setting.ini");
}

int downloadTransfers()
{
    bool ok = false;
    const int n = QSettings(launcherSettingsPath(), QSettings::IniFormat)
                      .value(QStringLiteral("download/maxTransfers"))
                      .toInt(&ok);
    return ok && n > 0 ? qMin(n, 32) : 8;
}

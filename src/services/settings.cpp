#include "services/settings.h"

#include "base/buildconfig.h"

#include <QCoreApplication>
#include <QSettings>

QString launcherSettingsPath()
{
    if (buildFolderLayout == FolderLayout::InstalledApp)
        return QStringLiteral("setting.ini");
    return QCoreApplication::applicationDirPath() + QStringLiteral("/setting.ini");
}

namespace
{
qint64 downloadSetting(const char* key)
{
    bool ok = false;
    const qint64 n = QSettings(launcherSettingsPath(), QSettings::IniFormat)
                         .value(QStringLiteral("download/") + QLatin1String(key))
                         .toLongLong(&ok);
    return ok && n > 0 ? n : 0;
}
} // namespace

int downloadTransfers()
{
    const qint64 n = downloadSetting("maxTransfers");
    return n > 0 ? int(qMin<qint64>(n, 64)) : 64;
}

qint64 downloadRateLimit()
{
    // Beyond 1 TiB/s there is nothing to cap, and the product stays in range.
    return qMin<qint64>(downloadSetting("maxKBps"), qint64(1) << 30) * 1024;
}

void setDownloadRateLimit(qint64 kibPerSecond)
{
    QSettings(launcherSettingsPath(), QSettings::IniFormat)
        .setValue(QStringLiteral("download/maxKBps"), qMax<qint64>(kibPerSecond, 0));
}

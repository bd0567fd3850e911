#pragma once

#include <QByteArray>
#include <QString>

// The launcher version file as judged before anything is downloaded.
struct LauncherVersionFile {
    // 0, or the negative code of the box the player sees: -102 not JSON,
    // -103 not an object, -101 an empty object.
    int error = 0;
    int version = 0; // 0 when missing or not a number
    QString url;
};

LauncherVersionFile readLauncherVersionFile(const QByteArray& body);

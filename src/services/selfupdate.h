#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The launcher version file as judged before anything is downloaded.
struct LauncherVersionFile {
    // 0, or the negative code of the box the player sees: -102 not JSON,
    // -103 not an object, -101 an empty object.
    int error = 0;
    int version = 0; // 0 when missing or not a number
    QString url;
};

LauncherVersionFile readLauncherVersionFile(const QByteArray& body);

// The most a setup program may hold when no signed length says otherwise:
// an answer without end must not fill the player's disk.
constexpr qint64 MaxSetupBytes = 256 * 1024 * 1024;

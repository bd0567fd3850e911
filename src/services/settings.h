#pragma once

#include <QString>

// setting.ini: beside the launcher, or in the working directory of the
// installed-app layout.
QString launcherSettingsPath();

// [download] maxTransfers: the most files in transfer at once (the loop finds
// the number itself below it), 64 when absent, bounded to 1..64 so that a
// typo can neither stop the update nor flood the server.
int downloadTransfers();

// [download] maxKBps: one cap over every download, in bytes per second
// (KiB/s × 1024); 0 when absent, 0 or not a positive number.
qint64 downloadRateLimit();

// Saves [download] maxKBps (0: no cap) for the next start.
void setDownloadRateLimit(qint64 kibPerSecond);

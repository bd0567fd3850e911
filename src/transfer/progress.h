#pragma once

#include <QString>

// "1.50KB": two decimals and a unit of B, KB, MB or GB, no blank.
QString sizeText(double bytes);

// "hh:mm:ss" for the remaining bytes at the given speed; "--:--:--" when
// either is not positive, "99:59:59" beyond that.
QString timeLeftText(double remainingBytes, double bytesPerSecond);

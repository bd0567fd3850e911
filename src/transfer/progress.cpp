#include "transfer/progress.h"

#include <cmath>

QString sizeText(double x)
{
    const char* unit = "B";
    double value = x;
    if (x < 1024.0) {
    } else if (x < 1048576.0) {
        unit = "KB";
        value = x / 1024.0;
    } else if (x < 1073741824.0) {
        unit = "MB";
        value = x / 1048576.0;
    } else {
        unit = "GB";
        value = x / 1073741824.0;
    }
    return QString::number(value, 'f', 2) + QLatin1String(unit);
}

QString timeLeftText(double r, double v)
{
    // Not-finite inputs (a speed from no elapsed time) count as unknown.
    if (!(r > 0) || !(v > 0) || !std::isfinite(r) || !std::isfinite(v))
        return QStringLiteral("--:--:--");
    const double t = r / v;
    if (t > 359999.0)
        return QStringLiteral("99:59:59");
    const qint64 s = static_cast<qint64>(t);
    const qint64 h = s / 3600;
    const qint64 m = qMin<qint64>((s - 3600 * h) / 60, 59);
    const qint64 sec = qMin<qint64>(s - 60 * (s / 60), 59);
    return QString::asprintf("%02lld:%02lld:%02lld", h, m, sec);
}

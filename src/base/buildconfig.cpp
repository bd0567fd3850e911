// The server addresses that CMake wrote into the build.
#include "base/buildconfig.h"

#include "buildaddresses.h"

namespace channel
{

QString contentBaseA()
{
    return QStringLiteral(DREVNA_CONTENT_BASE_A);
}
QString contentBaseB()
{
    return QStringLiteral(DREVNA_CONTENT_BASE_B);
}
QString portalHost()
{
    return QStringLiteral(DREVNA_PORTAL_HOST);
}
QString trackingHost()
{
    return QStringLiteral(DREVNA_TRACKING_HOST);
}

} // namespace channel

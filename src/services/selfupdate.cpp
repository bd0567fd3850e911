// The launcher version file, as judged before anything is downloaded.
#include "services/selfupdate.h"

#include <QJsonDocument>
#include <QJsonObject>

LauncherVersionFile readLauncherVersionFile(const QByteArray& body)
{
    LauncherVersionFile result;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QString::fromUtf8(body).toUtf8(), &error);
    if (doc.isNull() || error.error != QJsonParseError::NoError)
        result.error = -102;
    else if (!doc.isObject())
        result.error = -103;
    else if (doc.object().isEmpty())
        result.error = -101;
    if (result.error != 0)
        return result;
    const QJsonObject object = doc.object();
    result.version = object.value(QStringLiteral("version")).toInt();
    result.url = object.value(QStringLiteral("url")).toString();
    return result;
}

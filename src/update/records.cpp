#include "update/records.h"

// Stub: filled in by the update records work.
QString formatVersion(qint64) { return QString(); }
bool operator==(const DownloadFileInfo&, const DownloadFileInfo&) { return false; }
bool operator==(const PatchStep&, const PatchStep&) { return false; }
QJsonObject parseJsonObject(const QString&) { return {}; }
bool writeFile(const QString&, const QByteArray&) { return false; }
QString safeRelativePath(const QString&) { return QString(); }
DownloadFileInfo fileInfoFromListEntry(const QJsonObject&, const QString&, const QString&)
{
    return {};
}
QByteArray patchChainToJson(const PatchChain&) { return {}; }
PatchChain patchChainFromJson(const QByteArray&, bool*) { return {}; }
QString localFileKey(const QString& name) { return name; }

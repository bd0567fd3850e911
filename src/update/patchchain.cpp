// Chain search: from the patch list and the installed version to the steps
// that lead to the newest version, or to the full package.
#include "update/patchchain.h"

#include <QDebug>
#include <QJsonDocument>
#include <QSet>

namespace
{
PatchStep stepFromJson(const QJsonObject& o)
{
    PatchStep step;
    step.preVersion = o.value(QLatin1String("preversion")).toInt();
    step.version = o.value(QLatin1String("version")).toInt();
    step.path = o.value(QLatin1String("path")).toString();
    return step;
}

QString compactJson(const QJsonObject& o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}
} // namespace

QMap<int, PatchStep> patchStepMap(const QJsonObject& list, bool full)
{
    QMap<int, PatchStep> map;
    if (full && list.contains(QLatin1String("fullversion"))) {
        const PatchStep step = stepFromJson(list.value(QLatin1String("fullversion")).toObject());
        map.insert(step.version, step);
        return map;
    }
    const QJsonObject versions = list.value(QLatin1String("patchversion")).toObject();
    for (auto it = versions.begin(); it != versions.end(); ++it) {
        const PatchStep step = stepFromJson(it.value().toObject());
        map.insert(step.version, step);
    }
    return map;
}

ChainSearch searchPatchChain(const QJsonObject& list, int local, bool full,
                             const QString& localText,
                             const std::function<void(int, int)>& onNewest)
{
    const QMap<int, PatchStep> map = patchStepMap(list, full);
    if (map.isEmpty()) {
        qDebug().noquote() << "patchList = 0, exit" << compactJson(list);
        return {{}, full ? 1 : 0};
    }
    const PatchStep top = map.last();
    const int remoteVersion = top.version;
    if (onNewest)
        onNewest(local, remoteVersion);

    if (local >= top.version) {
        qDebug().noquote() << "skip patch chain " << localText << " to " << remoteVersion;
        return {};
    }
    qDebug().noquote() << "start find patch chain " << localText << " to " << remoteVersion;

    PatchChain found;
    bool success = false;
    QSet<int> visited;
    PatchStep cur = top;
    for (;;) {
        found.append(cur);
        visited.insert(cur.version);
        if (cur.preVersion == local) {
            success = true;
            break;
        }
        if (cur.preVersion == 0) {
            qDebug().noquote() << "get patch chain from " << localText << " to " << remoteVersion;
            success = true;
            break;
        }
        if (!map.contains(cur.preVersion)) {
            qDebug() << "cant get patch version " << cur.preVersion;
            break;
        }
        // A step leading back to a version already on the chain would loop
        // for ever.
        if (visited.contains(cur.preVersion)) {
            qDebug() << "patch chain cycle at version" << cur.preVersion;
            break;
        }
        cur = map.value(cur.preVersion);
        if (cur.version <= local) {
            qDebug() << "cant version error " << cur.version << local;
            break;
        }
    }

    if (success) {
        for (int i = found.size() - 1; i >= 0; --i)
            qDebug() << "patch chain:" << found[i].version << found[i].preVersion << found[i].path;
        return {found, 0};
    }
    if (full)
        return {found, 2};
    // The installed version is older than the list's newest: a full package
    // that leads nowhere newer is no way there, never "nothing to do".
    ChainSearch fullSearch = searchPatchChain(list, 0, true, localText, onNewest);
    if (fullSearch.result == 0 && fullSearch.chain.isEmpty())
        fullSearch.result = 2;
    return fullSearch;
}

#pragma once

#include "base/updatetypes.h"

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <functional>

// The steps of a patch list by the version they lead to: the full package
// alone when full is set and the list has one, else the patch steps.
QMap<int, PatchStep> patchStepMap(const QJsonObject& list, bool full);

struct ChainSearch {
    PatchChain chain; // newest step first
    // 0 found or nothing to do, 1 no full package, 2 no way to the newest
    int result = 0;
};

// The steps from the installed version local to the list's newest, or the
// full package when the steps do not reach it. A pure search: onNewest(local,
// newest) is told each newest version found, before the search from it is
// logged; localText names the installed record in the log.
ChainSearch searchPatchChain(const QJsonObject& list, int local, bool full,
                             const QString& localText,
                             const std::function<void(int, int)>& onNewest);

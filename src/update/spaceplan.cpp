#include "update/spaceplan.h"

#include "patch/patchsize.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QStorageInfo>

namespace
{
// The filesystem a folder is or will be on: that of its nearest existing
// ancestor.
QStorageInfo storageOf(const QString& folder)
{
    QDir dir(QFileInfo(folder).absoluteFilePath());
    while (!dir.exists() && dir.cdUp()) {
    }
    return QStorageInfo(dir.absolutePath());
}
} // namespace

SpaceNeed spaceNeed(const PatchChain& chain, const QString& patchDir, const QString& gameDir)
{
    SpaceNeed need;
    for (const PatchStep& step : chain) {
        for (const DownloadFileInfo& f : step.files) {
            if (f.type == QLatin1String("del"))
                continue;
            // A part is resumed; a longer or damaged file is removed before it
            // is fetched again, which gives its room back.
            need.download +=
                qMax<qint64>(0, f.size - QFileInfo(localPatchFilePath(patchDir, f)).size());
            // A patch writes the new file as X_bak beside the old one; its size
            // is not listed, so the old one's stands for it. An "add" is
            // moved in after the old file went.
            const QString target = safeRelativePath(localFileKey(f.name));
            const qint64 old =
                target.isEmpty() ? 0 : QFileInfo(gameDir + QLatin1Char('/') + target).size();
            if (f.type == QLatin1String("diff"))
                need.apply = qMax(need.apply, qMax(f.size, old));
            else
                need.added += qMax<qint64>(0, f.size - old);
        }
    }
    return need;
}

qint64 applyPeak(const PatchChain& chain, const QString& patchDir, const QString& gameDir,
                 bool sharedFilesystem)
{
    QHash<QString, qint64> sizes; // of each game file as the files before left it
    qint64 growth = 0;
    qint64 peak = 0;
    for (int i = chain.size() - 1; i >= 0; --i) { // the oldest step is applied first
        for (const DownloadFileInfo& f : chain[i].files) {
            const QString target = safeRelativePath(localFileKey(f.name));
            if (f.hadPatch || target.isEmpty())
                continue;
            auto known = sizes.find(target);
            if (known == sizes.end())
                known = sizes.insert(target, QFileInfo(gameDir + QLatin1Char('/') + target).size());
            const qint64 old = *known;
            qint64 next = 0;
            if (f.type == QLatin1String("diff")) {
                next = patchOutputSize(localPatchFilePath(patchDir, f));
                if (next < 0) // unreadable: it fails and its whole file is planned then
                    next = qMax(f.size, old);
                peak = qMax(peak, growth + next);
                growth += next - old;
            } else if (f.type == QLatin1String("add")) {
                // Moved in after the old file went: within one filesystem it
                // only changes folders, across two it is copied.
                next = f.size;
                growth += (sharedFilesystem ? 0 : next) - old;
            } else {
                growth -= old;
            }
            *known = next;
            peak = qMax(peak, growth);
        }
    }
    return peak;
}

bool freeSpaceOf(const QString& patchDir, const QString& gameDir, FreeSpace& free)
{
    const QStorageInfo patchFs = storageOf(patchDir);
    const QStorageInfo gameFs = storageOf(gameDir);
    free = FreeSpace{patchFs.bytesAvailable(), gameFs.bytesAvailable(), patchFs == gameFs};
    return patchFs.isValid() && gameFs.isValid() && free.patch >= 0 && free.game >= 0;
}

qint64 spaceShortfall(const SpaceNeed& need, const FreeSpace& free)
{
    if (free.shared)
        return qMax<qint64>(0, need.download + need.apply - free.patch);
    return qMax<qint64>(0, need.download - free.patch) +
           qMax<qint64>(0, need.apply + need.added - free.game);
}

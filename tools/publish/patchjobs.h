#pragma once

#include "deltaencoder.h"

#include <QList>
#include <QString>
#include <functional>

// Makes the patches of a publication on all cores within one memory bound:
// each file is encoded (large ones in pieces at once), tried with every
// secondary compressor, and the smallest patch that the launcher's own
// decoder reproduces is kept.
namespace publish
{

struct PatchRequest {
    QString oldPath, newPath, patchPath;
    QString oldMd5, newMd5;
    qint64 oldSize = 0, newSize = 0;
};

struct PatchResult {
    // No patch was kept: none was smaller than the new file (only when
    // asked to prefer the smaller).
    bool whole = false;
    qint64 size = 0;
    QString md5;
    Secondary secondary = Secondary::None;
};

struct PatchSettings {
    // Today's quick encoder: fast matcher, 64 MiB window, no secondary.
    bool fast = false;
    bool preferSmaller = true;
    // Working memory of all encoders at once, in bytes. Also bounds the
    // source window, so that one file's encoder fits: the output depends
    // on it, never on the number of threads.
    qint64 memoryBound = 4096LL * 1024 * 1024;
    int threads = 0; // 0: one per core
    // Called on the calling thread every progressSeconds while patches are
    // made, with a line of files and bytes done and the time left.
    std::function<void(const QString&)> progress;
    int progressSeconds = 5;
};

// The largest source window that one encoder may use within the bound.
qint64 windowBound(qint64 memoryBound);

// Makes every requested patch; results in the order of the requests. False
// with a reason when a patch cannot be made or none reproduces its file.
bool makePatches(const QList<PatchRequest>& requests, const PatchSettings& settings,
                 QList<PatchResult>* results, QString* error);

} // namespace publish

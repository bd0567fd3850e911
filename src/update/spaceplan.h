#pragma once

// The disk-space plan of an update: what it still needs in the patch and the
// game folder, and how much of that their free space cannot hold.

#include "base/updatetypes.h"

struct SpaceNeed {
    qint64 download = 0; // in the patch folder
    qint64 apply = 0;    // in the game folder, beside a target before it goes
    // What "add"s bring into the game folder beyond the files they replace:
    // free when renamed within one filesystem, copied across two.
    qint64 added = 0;
};

// Free bytes on the patch folder's and the game folder's filesystems.
struct FreeSpace {
    qint64 patch = 0;
    qint64 game = 0;
    bool shared = false; // one filesystem holds both folders
};

// What the chain still needs, given what the two folders already hold.
SpaceNeed spaceNeed(const PatchChain& chain, const QString& patchDir, const QString& gameDir);

// What applying the chain adds to the game folder's filesystem at its
// fullest, once its patches are downloaded: each patch's output as its
// stream declares it, beside the file it replaces, and every growth before
// it. Files already applied count no more.
qint64 applyPeak(const PatchChain& chain, const QString& patchDir, const QString& gameDir,
                 bool sharedFilesystem);

// The free space of the folders' filesystems (or of their nearest existing
// ancestors); false when it cannot be known.
bool freeSpaceOf(const QString& patchDir, const QString& gameDir, FreeSpace& free);

// The bytes missing for need, 0 when it fits.
qint64 spaceShortfall(const SpaceNeed& need, const FreeSpace& free);

#pragma once

#include <QList>
#include <QString>

// A small fake game in three versions, made the same way on every run: a few
// MB of binary data that changes between versions, a file that appears, one
// that goes away, and a "Drevna.exe" start script.
namespace sample
{

QList<int> versions(); // oldest first

struct Options {
    // Adds Data/terrain.pak of this many MiB (changing in every version), to
    // make patch application take measurable time.
    int largeMb = 0;
};

// Writes outDir/<version>/ for every version; an existing outDir is replaced.
bool makeSampleGame(const QString& outDir, const Options& options, QString* error);

} // namespace sample

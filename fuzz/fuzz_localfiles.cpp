// The update's own files as a restart finds them: localversion.json and
// patchchain.json, loaded, then used and saved as a resumed run does.
// Input: localversion.json, a NUL byte, patchchain.json (JSON holds no NUL).
#include "engineprobe.h"
#include "fuzzsupport.h"

#include "update/patchmanager.h"

#include <QDir>
#include <QTemporaryDir>

namespace
{

// Every input is written to disk, on tmpfs where there is one.
QTemporaryDir& workDir()
{
    static const bool made = QDir().mkpath(fuzzWorkDir().filePath("Drevna")) &&
                             QDir().mkpath(fuzzWorkDir().filePath("Patch"));
    FUZZ_CHECK(made);
    return fuzzWorkDir();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static PatchManager manager;
    probe(manager).gameDir = workDir().filePath("Drevna");
    probe(manager).patchDir = workDir().filePath("Patch");
    const QByteArray input = fuzzBytes(data, size);
    const int split = input.indexOf('\0');
    fuzzPut(probe(manager).gameDir + "/localversion.json", split < 0 ? input : input.left(split));
    fuzzPut(probe(manager).patchDir + "/patchchain.json",
            split < 0 ? QByteArray() : input.mid(split + 1));

    probe(manager).state = 0;
    manager.loadLocalVersion();
    manager.loadLocalPatchChain();

    // Every file of a chain that is kept is downloaded into the patch folder;
    // the patch thread refuses it or keeps both its files in their folders.
    for (const PatchStep& step : probe(manager).chain) {
        for (const DownloadFileInfo& f : step.files) {
            FUZZ_CHECK(fuzzInside(localPatchFilePath(probe(manager).patchDir, f),
                                  probe(manager).patchDir));
            QString patchFile, target;
            if (patchThreadPaths(probe(manager).patchDir, probe(manager).gameDir, step.path, f,
                                 patchFile, target))
                FUZZ_CHECK(fuzzInside(patchFile, probe(manager).patchDir) &&
                           fuzzInside(target, probe(manager).gameDir));
        }
    }
    const PatchChain loaded = probe(manager).chain;

    // The resumed run records a patch in the version file and saves both.
    probe(manager).localVersion.insert("start_apply_patch", true);
    if (!loaded.isEmpty() && !loaded.first().files.isEmpty())
        manager.onDoneOnePatch(loaded.first().files.first(), 1, 1);
    manager.saveLocalVersion();
    FUZZ_CHECK(manager.saveLocalPatchChain(loaded));
    FUZZ_CHECK(probe(manager).state != 8);

    // What was saved reads back the same.
    const QJsonObject saved = probe(manager).localVersion;
    manager.loadLocalVersion();
    FUZZ_CHECK(probe(manager).localVersion == saved);
    manager.loadLocalPatchChain();
    FUZZ_CHECK(probe(manager).chain == loaded);
    return 0;
}

// The update's own files as a restart finds them: localversion.json and
// patchchain.json, loaded, then used and saved as a resumed run does.
// Input: localversion.json, a NUL byte, patchchain.json (JSON holds no NUL).
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
    manager.gameDir = workDir().filePath("Drevna");
    manager.patchDir = workDir().filePath("Patch");
    const QByteArray input = fuzzBytes(data, size);
    const int split = input.indexOf('\0');
    fuzzPut(manager.gameDir + "/localversion.json", split < 0 ? input : input.left(split));
    fuzzPut(manager.patchDir + "/patchchain.json", split < 0 ? QByteArray() : input.mid(split + 1));

    manager.state = 0;
    manager.loadLocalVersion();
    manager.loadLocalPatchChain();

    // Every file of a chain that is kept is downloaded into the patch folder;
    // the patch thread refuses it or keeps both its files in their folders.
    for (const PatchStep& step : manager.chain) {
        for (const DownloadFileInfo& f : step.files) {
            FUZZ_CHECK(fuzzInside(localPatchFilePath(manager.patchDir, f), manager.patchDir));
            QString patchFile, target;
            if (patchThreadPaths(manager.patchDir, manager.gameDir, step.path, f, patchFile,
                                 target))
                FUZZ_CHECK(fuzzInside(patchFile, manager.patchDir) &&
                           fuzzInside(target, manager.gameDir));
        }
    }
    const PatchChain loaded = manager.chain;

    // The resumed run records a patch in the version file and saves both.
    manager.localVersion.insert("start_apply_patch", true);
    if (!loaded.isEmpty() && !loaded.first().files.isEmpty())
        manager.onDoneOnePatch(loaded.first().files.first(), 1, 1);
    manager.saveLocalVersion();
    FUZZ_CHECK(manager.saveLocalPatchChain(loaded));
    FUZZ_CHECK(manager.state != 8);

    // What was saved reads back the same.
    const QJsonObject saved = manager.localVersion;
    manager.loadLocalVersion();
    FUZZ_CHECK(manager.localVersion == saved);
    manager.loadLocalPatchChain();
    FUZZ_CHECK(manager.chain == loaded);
    return 0;
}

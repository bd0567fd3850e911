// The update's own files as a restart finds them: localversion.json and
// patchchain.json, loaded, then used and saved as a resumed run does.
// Input: localversion.json, a NUL byte, patchchain.json (JSON holds no NUL).
#include "engineprobe.h"
#include "fuzzsupport.h"

#include "update/patchmanager.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

namespace
{

QTemporaryDir& workDir()
{
    // tmpfs where there is one: every input is written to disk.
    static QTemporaryDir dir(QDir("/dev/shm").exists()
                                 ? QStringLiteral("/dev/shm/drevna-fuzz-XXXXXX")
                                 : QDir::tempPath() + "/drevna-fuzz-XXXXXX");
    static const bool made = dir.isValid() && QDir().mkpath(dir.filePath("Drevna")) &&
                             QDir().mkpath(dir.filePath("Patch"));
    FUZZ_CHECK(made);
    return dir;
}

void put(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes) == bytes.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static PatchManager manager;
    probe(manager).gameDir = workDir().filePath("Drevna");
    probe(manager).patchDir = workDir().filePath("Patch");
    const QByteArray input = fuzzBytes(data, size);
    const int split = input.indexOf('\0');
    put(probe(manager).gameDir + "/localversion.json", split < 0 ? input : input.left(split));
    put(probe(manager).patchDir + "/patchchain.json",
        split < 0 ? QByteArray() : input.mid(split + 1));

    probe(manager).state = 0;
    manager.loadLocalVersion();
    manager.loadLocalPatchChain();

    // Every name of a chain that is kept can become a local path.
    FUZZ_CHECK(chainNamesAreSafe(probe(manager).chain));
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

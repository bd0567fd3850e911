// The patch container and its delta, decoded by applyPatchFile against an
// old file in memory. Input: one flag byte, the old file's length (two bytes,
// little endian), the old file, then the patch file. Flag bit 0 writes the
// old file's true MD5 into the patch header, so that mutated deltas get past
// the source check and reach the decoder.
//
// With DREVNA_FUZZ_SEEDS_DECODE set, the program ends with a failure when no
// input decoded to its header's MD5: scripts/fuzz runs the seeds so first,
// because a harness whose output cannot be written never reaches the decoder
// and still finds nothing.
#include "fuzzsupport.h"

#include "patch/patchfile.h"

#include <QFile>
#include <QList>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
// Output beyond this fails like a full disk; a tiny delta may ask for
// gigabytes of output.
constexpr rlim_t OutputLimit = 32 * 1024 * 1024;
const QByteArray Untouched = "untouched";

void limitOutput()
{
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{OutputLimit, OutputLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
}

int decodedInputs = 0;

void requireDecodes()
{
    if (!std::getenv("DREVNA_FUZZ_SEEDS_DECODE"))
        return;
    std::atexit([] {
        std::fprintf(stderr, "fuzz: %d inputs decoded to their MD5\n", decodedInputs);
        if (decodedInputs == 0)
            _exit(1);
    });
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool limited = (limitOutput(), requireDecodes(), true);
    Q_UNUSED(limited);
    if (size < 3)
        return 0;
    const bool fixSource = data[0] & 1;
    const size_t oldSize = qMin<size_t>(size_t(data[1]) | size_t(data[2]) << 8, size - 3);
    const QByteArray old = fuzzBytes(data + 3, oldSize);
    QByteArray patch = fuzzBytes(data + 3 + oldSize, size - 3 - oldSize);
    const QByteArray oldMd5 = md5Hex(old);
    if (fixSource && patch.size() >= 36)
        patch.replace(4, 32, oldMd5);

    static MemoryFile oldFile("old"), patchFile("patch");
    // The output is written beside its path and renamed onto it: a real
    // folder, not a memory file's descriptor path.
    static const QString outPath = fuzzWorkDir().filePath(QStringLiteral("out"));
    oldFile.setContents(old);
    patchFile.setContents(patch);
    fuzzPut(outPath, Untouched);

    QList<qint64> progress;
    const int result = applyPatchFile(oldFile.path(), patchFile.path(), QFile::encodeName(outPath),
                                      [&progress](qint64 bytes) { progress << bytes; });
    QFile outFile(outPath);
    FUZZ_CHECK(outFile.open(QIODevice::ReadOnly));
    const QByteArray out = outFile.readAll();

    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(oldFile.contents() == old);
    // Neither result leaves the side file behind.
    FUZZ_CHECK(!QFile::exists(outPath + QStringLiteral(".part")));
    // A patch that is not for this old file never touches the output.
    const bool headerFits =
        patch.size() >= PatchHeaderSize && patch.startsWith("PPAK") && patch.mid(4, 32) == oldMd5;
    if (!headerFits)
        FUZZ_CHECK(result == -1 && out == Untouched);
    // Progress counts the bytes written so far.
    for (int i = 1; i < progress.size(); ++i)
        FUZZ_CHECK(progress[i] > progress[i - 1]);
    // Success means the file holds exactly what the header promised.
    if (result == 0) {
        FUZZ_CHECK(md5Hex(out) == patch.mid(36, 32));
        FUZZ_CHECK(progress.isEmpty() ? out.isEmpty() : progress.last() == out.size());
        ++decodedInputs;
    }
    return 0;
}

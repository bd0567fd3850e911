// Patch benchmark helper: makes test data, encodes it with the project's own
// encoder and applies it the way the patch thread does.
//
//   bench_patch gen SIZE_MIB OLD NEW SEED   old file of random bytes, new file
//                                           with scattered edits
//   bench_patch encode OLD NEW PATCH        PPAK patch from our encoder
//   bench_patch apply OLD PATCH OUT         applyPatchFile; prints seconds
#include "app/buildconfig.h"
#include "patch/patchfile.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

const MainWindow::PlatformType buildChannel = MainWindow::STM;
const FolderLayout buildFolderLayout = FolderLayout::Launcher;

namespace
{

struct Rng {
    quint64 s;
    quint64 next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    void fill(quint8* p, size_t n)
    {
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            const quint64 v = next();
            std::memcpy(p + i, &v, 8);
        }
        for (; i < n; ++i)
            p[i] = quint8(next());
    }
};

bool writeAll(FILE* f, const quint8* p, size_t n)
{
    return std::fwrite(p, 1, n, f) == n;
}

// The new file is the old one in 1 MiB regions: each region gets one
// overwritten run; every 16th also an insertion, every 32nd a deletion, so
// the decoder has to follow shifted copies as in real game updates.
int generate(qint64 mib, const char* oldPath, const char* newPath, quint64 seed)
{
    const size_t region = 1 << 20;
    std::vector<quint8> buf(region), edit(8192);
    Rng data{seed | 1}, edits{(seed * 7919) | 1};
    FILE* o = std::fopen(oldPath, "wb");
    FILE* n = std::fopen(newPath, "wb");
    if (!o || !n)
        return 1;
    for (qint64 r = 0; r < mib; ++r) {
        data.fill(buf.data(), region);
        if (!writeAll(o, buf.data(), region))
            return 1;
        const size_t at = edits.next() % (region - 8192);
        const size_t len = 64 + edits.next() % 4000;
        edits.fill(buf.data() + at, len);
        size_t cut = 0;
        if (r % 32 == 31)
            cut = 512; // drop bytes at the end of the region
        if (!writeAll(n, buf.data(), region - cut))
            return 1;
        if (r % 16 == 7) {
            edits.fill(edit.data(), 1000);
            if (!writeAll(n, edit.data(), 1000))
                return 1;
        }
    }
    return std::fclose(o) == 0 && std::fclose(n) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && !std::strcmp(argv[1], "gen"))
        return generate(std::atoll(argv[2]), argv[3], argv[4], std::strtoull(argv[5], nullptr, 10));
    if (argc == 5 && !std::strcmp(argv[1], "encode"))
        return createPatchFile(argv[2], argv[3], argv[4]) == 0 ? 0 : 1;
    if (argc == 5 && !std::strcmp(argv[1], "apply")) {
        QElapsedTimer timer;
        timer.start();
        // Progress as the patch thread reports it: output bytes / old size.
        const double oldSize = double(QFileInfo(QFile::decodeName(argv[2])).size());
        volatile float progress = 0;
        const int r = applyPatchFile(argv[2], argv[3], argv[4],
                                     [&](qint64 n) { progress = float(n / oldSize); });
        std::printf("%.3f\n", timer.nsecsElapsed() / 1e9);
        return r == 0 ? 0 : 1;
    }
    std::fprintf(stderr, "usage: bench_patch gen|encode|apply ...\n");
    return 2;
}

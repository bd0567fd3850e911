// Patch benchmark helper: makes test data, encodes it with the project's own
// encoder and applies it the way the patch thread does.
//
//   bench_patch gen SIZE_MIB OLD NEW SEED   old file of random bytes, new file
//                                           with scattered edits
//   bench_patch encode OLD NEW PATCH        PPAK patch from our encoder
//   bench_patch apply OLD PATCH OUT         applyPatchFile; prints seconds and
//                                           RssAnon (KiB) just before it
//   bench_patch watch OUT CMD ARGS...       runs CMD; writes its peak RSS and
//                                           peak RssAnon (KiB) to OUT
//   bench_patch files DIR COUNT BYTES SEED  DIR/f0000.bin ... of random bytes
//   bench_patch paths DIR                   for old files of 4 KiB to 4 MiB with
//                                           a few edits: ms a patch by the
//                                           small path and by the large one
#include "app/program.h"
#include "patch/patchfile.h"

#include "rng.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

const MainWindow::PlatformType buildChannel = MainWindow::STM;
const FolderLayout buildFolderLayout = FolderLayout::Launcher;

namespace
{

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

// count files of bytes each; with bytes < 0, of every size from 512 bytes to
// -bytes, as many of each order of magnitude (log-uniform).
int randomFiles(const QString& dir, int count, qint64 bytes, quint64 seed)
{
    Rng rng{seed | 1};
    std::vector<quint8> buf(size_t(qMin<qint64>(qAbs(bytes), 1 << 20)));
    for (int i = 0; i < count; ++i) {
        const QString name = dir + QStringLiteral("/f%1.bin").arg(i, 4, 10, QLatin1Char('0'));
        FILE* f = std::fopen(QFile::encodeName(name).constData(), "wb");
        if (!f)
            return 1;
        const double share = double(rng.next() >> 11) / double(1ULL << 53);
        const qint64 size =
            bytes >= 0 ? bytes : qint64(512.0 * std::pow(double(-bytes) / 512.0, share));
        for (qint64 left = size; left > 0;) {
            const size_t n = size_t(qMin<qint64>(left, qint64(buf.size())));
            rng.fill(buf.data(), n);
            if (!writeAll(f, buf.data(), n))
                return 1;
            left -= qint64(n);
        }
        if (std::fclose(f) != 0)
            return 1;
    }
    return 0;
}

// A "Name:  123 kB" field of /proc/PID/status in KiB, or -1.
long statusField(const QByteArray& status, const QByteArray& name)
{
    const int at = status.indexOf("\n" + name + ":");
    return at < 0 ? -1 : std::atol(status.constData() + at + name.size() + 2);
}

QByteArray readStatus(const QByteArray& pid)
{
    QFile f(QString::fromLatin1("/proc/" + pid + "/status"));
    return f.open(QIODevice::ReadOnly) ? "\n" + f.readAll() : QByteArray();
}

// Runs a command and samples its RssAnon every 5 ms; the peak RSS comes from
// the kernel's own account. Exits with the command's status.
int watch(const char* outPath, char** command)
{
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(command[0], command);
        _exit(127);
    }
    if (pid < 0)
        return 1;
    long peakAnon = 0;
    int status = 0;
    rusage usage{};
    const timespec interval{0, 5 * 1000 * 1000};
    while (wait4(pid, &status, WNOHANG, &usage) == 0) {
        peakAnon = qMax(peakAnon, statusField(readStatus(QByteArray::number(pid)), "RssAnon"));
        nanosleep(&interval, nullptr);
    }
    FILE* out = std::fopen(outPath, "w");
    if (!out)
        return 1;
    std::fprintf(out, "%ld %ld\n", long(usage.ru_maxrss), peakAnon);
    std::fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

double cpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// The size below which the small path is taken is measured here: the same
// patches applied one after another by one applier, all by one path and then
// all by the other, the files in the page cache as after their download.
int comparePaths(const QString& dir)
{
    const int files = 16, rounds = 3;
    std::printf("old size, ms a patch (wall, CPU of all threads): small path, large path\n");
    for (qint64 size = 4096; size <= 4 * 1024 * 1024; size *= 4) {
        Rng rng{quint64(size) | 1};
        for (int i = 0; i < files; ++i) {
            std::vector<quint8> data(static_cast<size_t>(size));
            rng.fill(data.data(), data.size());
            const QByteArray base = QFile::encodeName(dir + QStringLiteral("/%1").arg(i));
            FILE* o = std::fopen(base + ".old", "wb");
            if (!o || !writeAll(o, data.data(), data.size()) || std::fclose(o) != 0)
                return 1;
            for (int edit = 0; edit < 3; ++edit)
                data[size_t(rng.next() % quint64(size))] ^= 0x5a;
            FILE* n = std::fopen(base + ".new", "wb");
            if (!n || !writeAll(n, data.data(), data.size()) || std::fclose(n) != 0 ||
                createPatchFile(base + ".old", base + ".new", base + ".patch") != 0)
                return 1;
        }
        double ms[2] = {0, 0}, cpu[2] = {0, 0};
        for (int path = 0; path < 2; ++path) {
            PatchApplier applier;
            applier.smallFileLimit = path == 0 ? size : size - 1;
            QElapsedTimer timer;
            timer.start();
            const double cpuStart = cpuMs();
            for (int r = 0; r < rounds; ++r)
                for (int i = 0; i < files; ++i) {
                    const QByteArray base = QFile::encodeName(dir + QStringLiteral("/%1").arg(i));
                    if (applier.apply(base + ".old", base + ".patch", base + ".out", {}) != 0)
                        return 1;
                }
            ms[path] = timer.nsecsElapsed() / 1e6 / (files * rounds);
            cpu[path] = (cpuMs() - cpuStart) / (files * rounds);
        }
        std::printf("%lld %.3f %.3f, %.3f %.3f\n", size, ms[0], cpu[0], ms[1], cpu[1]);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && !std::strcmp(argv[1], "gen"))
        return generate(std::atoll(argv[2]), argv[3], argv[4], std::strtoull(argv[5], nullptr, 10));
    if (argc == 5 && !std::strcmp(argv[1], "encode"))
        return createPatchFile(argv[2], argv[3], argv[4]) == 0 ? 0 : 1;
    if (argc == 5 && !std::strcmp(argv[1], "apply")) {
        const long anonBefore = statusField(readStatus("self"), "RssAnon");
        QElapsedTimer timer;
        timer.start();
        // Progress as the patch thread reports it: output bytes / old size.
        const double oldSize = double(QFileInfo(QFile::decodeName(argv[2])).size());
        volatile float progress = 0;
        const int r = applyPatchFile(argv[2], argv[3], argv[4],
                                     [&](qint64 n) { progress = float(n / oldSize); });
        std::printf("%.3f %ld\n", timer.nsecsElapsed() / 1e9, anonBefore);
        return r == 0 ? 0 : 1;
    }
    if (argc >= 4 && !std::strcmp(argv[1], "watch"))
        return watch(argv[2], argv + 3);
    if (argc == 6 && !std::strcmp(argv[1], "files"))
        return randomFiles(QFile::decodeName(argv[2]), std::atoi(argv[3]), std::atoll(argv[4]),
                           std::strtoull(argv[5], nullptr, 10));
    if (argc == 3 && !std::strcmp(argv[1], "paths"))
        return comparePaths(QFile::decodeName(argv[2]));
    std::fprintf(stderr, "usage: bench_patch gen|encode|apply|watch|files|paths ...\n");
    return 2;
}

// End-to-end update benchmark: one PatchManager as the launcher runs it, from
// start() to "update_finish", against a content server: the patch list, the
// full package's file list, every download, the patch thread with its
// records, the cleanup and the second check.
//
//   bench_update make ROOT COUNT BYTES   content of COUNT random files of BYTES
//   bench_update game ROOT [EVERY]       a first install whose file sizes
//                                        follow a real game's spread (one
//                                        file in EVERY of it)
//   bench_update diffs ROOT GAME COUNT   an installed game of COUNT files of
//                                        1-20 KB in GAME, and a step of
//                                        deltas that change a few bytes each
//   bench_update run BASE_URL DIR        installs into DIR/Drevna via DIR/Patch
//
// make, game and diffs write ROOT/expected.md5 (md5sum -c format, relative to
// the game folder); diffs also writes each bare VCDIFF stream to
// ROOT/raw/NAME.vcdiff and the names to ROOT/names, for the peer.
//
// run prints "<seconds to update_finish> <seconds until patching starts>
// <seconds patching>" (the patch thread's first step to its allDone), then
// where the time went: "checking=" from start to the first download (patch
// list, file lists, the local checks), "downloading=" the download loop,
// "setup=" the records written before the patch thread starts, "records=" the
// patch thread's time in its journal
// lines, "chain=" in its saves of patchchain.json at the ends of steps,
// "applying=" the rest of the patch thread's time, "after=" from its allDone
// to update_finish, "signals=" the GUI thread's time in the patch thread's
// signals (the display's fields and localversion.json's journal line) and
// "display=" the number of the display's calls (this one draws nothing). The patch thread's fixed 2
// s pause after its last file is left out: it costs the same at any count.
#include "app/program.h"
#include "nulldisplay.h"
#include "patch/patchfile.h"
#include "update/patchmanager.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <unistd.h>

extern "C" {
#include "xdelta3.h"
}

const MainWindow::PlatformType buildChannel = MainWindow::STM;
const FolderLayout buildFolderLayout = FolderLayout::Launcher;

namespace
{
bool put(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QString md5Of(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

// The file sizes of a real game's data (5,252 files, 686 MiB, from a
// Debian game data package): {k, n} is n files of 2^k to 2^(k+1) - 1 bytes.
constexpr int GameSpread[][2] = {{6, 64},   {7, 394},  {8, 304},  {9, 374},  {10, 340}, {11, 578},
                                 {12, 517}, {13, 432}, {14, 448}, {15, 367}, {16, 484}, {17, 346},
                                 {18, 261}, {19, 161}, {20, 130}, {21, 46},  {22, 4},   {23, 2}};

// ROOT/patchlist.json: the full package and, with a step, 10005 -> 10006.
bool putPatchList(const QString& root, bool withStep)
{
    QJsonObject steps;
    if (withStep)
        steps.insert("p1",
                     QJsonObject{{"version", 10006}, {"preversion", 10005}, {"path", "10006"}});
    const QJsonObject full{{"version", 10006}, {"preversion", 0}, {"path", "full"}};
    return put(root + "/patchlist.json",
               QJsonDocument(QJsonObject{{"patchversion", steps}, {"fullversion", full}}).toJson());
}

// ROOT/full holds the full package of count random files, a hundred to a
// folder, file i of sizeOf(i) bytes.
int makeFull(const QString& root, int count, const std::function<int(int)>& sizeOf)
{
    QRandomGenerator random(20);
    QJsonArray list;
    QByteArray expected;
    for (int i = 0; i < count; ++i) {
        QByteArray data(sizeOf(i), Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
        const QString file = QString::asprintf("d%04d/f%06d.bin", i / 100, i);
        if (!put(root + "/full/" + file + ".patch", data))
            return 1;
        const QString md5 = md5Of(data);
        list.append(QJsonObject{{"name", file + ".patch"},
                                {"size", data.size()},
                                {"md5", md5},
                                {"type", "add"},
                                {"srcmd5", ""},
                                {"destmd5", md5}});
        expected += md5.toLatin1() + "  " + file.toLatin1() + "\n";
    }
    return put(root + "/full/patchfiles.json",
               QJsonDocument(QJsonObject{{"filelist", list}}).toJson()) &&
                   put(root + "/expected.md5", expected) && putPatchList(root, false)
               ? 0
               : 1;
}

// One file in every `every` of the spread, each of a size spread evenly on a
// log scale through its power of two.
int makeGame(const QString& root, int every)
{
    QList<int> sizes;
    QRandomGenerator random(22);
    for (const auto& bucket : GameSpread)
        for (int n = 0; n < bucket[1]; n += every)
            sizes << int(std::exp2(bucket[0] + random.generateDouble()));
    // Small and large files mixed through the folders, as in a game.
    std::shuffle(sizes.begin(), sizes.end(), random);
    return makeFull(root, sizes.size(), [&](int i) { return sizes.at(i); });
}

// A VCDIFF delta from the library's encoder, sized to the file: the
// publisher's settings for large files make each call clear tables of many
// MiB.
QByteArray encode(const QByteArray& old, const QByteArray& now)
{
    QByteArray delta(now.size() + 1024, Qt::Uninitialized);
    usize_t size = 0;
    const int r = xd3_encode_memory(
        reinterpret_cast<const quint8*>(now.constData()), usize_t(now.size()),
        reinterpret_cast<const quint8*>(old.constData()), usize_t(old.size()),
        reinterpret_cast<quint8*>(delta.data()), &size, usize_t(delta.size()), XD3_ADLER32);
    return r == 0 ? delta.left(int(size)) : QByteArray();
}

// Half the files are text, half binary; each new version overwrites one to
// three places of one to eight bytes.
int makeDiffs(const QString& root, const QString& game, int count)
{
    static const char* const vocabulary[] = {"river ",   "stone ",  "ember ", "north ", "guild ",
                                             "lantern ", "market ", "ash ",   "forge ", "tide\n"};
    QRandomGenerator random(21);
    QJsonArray list;
    QByteArray expected, names;
    for (int i = 0; i < count; ++i) {
        const int size = int(random.bounded(1000, 20001));
        QByteArray old;
        if (i % 2) {
            while (old.size() < size)
                old += vocabulary[random.bounded(10)];
            old.truncate(size);
        } else {
            old.resize(size);
            random.fillRange(reinterpret_cast<quint32*>(old.data()), size / 4);
        }
        QByteArray now = old;
        for (int edits = 1 + int(random.bounded(3)); edits > 0; --edits) {
            const int at = int(random.bounded(size - 8));
            for (int k = 1 + int(random.bounded(8)); k > 0; --k)
                now[at + k - 1] = char(random.generate());
        }
        const QString file = QString::asprintf("d%04d/f%06d.bin", i / 100, i);
        const QByteArray delta = encode(old, now);
        const QByteArray bytes = "PPAK" + md5Of(old).toLatin1() + md5Of(now).toLatin1() + delta;
        if (delta.isEmpty() || !put(game + "/" + file, old) ||
            !put(root + "/10006/" + file + ".patch", bytes) ||
            !put(root + "/raw/" + file + ".vcdiff", delta))
            return 1;
        list.append(QJsonObject{{"name", file + ".patch"},
                                {"size", bytes.size()},
                                {"md5", md5Of(bytes)},
                                {"type", "diff"},
                                {"srcmd5", md5Of(old)},
                                {"destmd5", md5Of(now)}});
        expected += md5Of(now).toLatin1() + "  " + file.toLatin1() + "\n";
        names += file.toLatin1() + "\n";
    }
    return put(root + "/10006/patchfiles.json",
               QJsonDocument(QJsonObject{{"filelist", list}}).toJson()) &&
                   put(root + "/expected.md5", expected) && put(root + "/names", names) &&
                   put(game + "/localversion.json", R"({"version": 10005})") &&
                   putPatchList(root, true)
               ? 0
               : 1;
}

std::atomic<qint64> recordNs{0}, chainNs{0}, signalNs{0};
int displayCalls = 0;

// The engine as the launcher runs it; the records the patch thread writes
// are timed on its way.
class TimedManager : public PatchManager
{
public:
    bool saveLocalPatchChain(const PatchChain& chain) override
    {
        return timed(chainNs, [&] { return PatchManager::saveLocalPatchChain(chain); });
    }
    bool recordPatchDone(int stepVersion, int fileIndex, const QString& name) override
    {
        return timed(recordNs,
                     [&] { return PatchManager::recordPatchDone(stepVersion, fileIndex, name); });
    }

private:
    bool timed(std::atomic<qint64>& total, const std::function<bool()>& call)
    {
        if (QThread::currentThread() == thread())
            return call();
        QElapsedTimer clock;
        clock.start();
        const bool ok = call();
        total += clock.nsecsElapsed();
        return ok;
    }
};

// Counts what the window would be asked to draw.
class CountingDisplay : public NullDisplay
{
public:
    void showUpdateStatus(QString) override { ++displayCalls; }
    void setUpdateProgress(QString, double) override { ++displayCalls; }
    void showDownloadInfo(QString, QString, QString, QString, QString, QString) override
    {
        ++displayCalls;
    }
};

// Times the patch thread's queued signals as the GUI thread handles them.
class TimedApp : public QCoreApplication
{
public:
    using QCoreApplication::QCoreApplication;
    QObject* manager = nullptr;
    bool notify(QObject* receiver, QEvent* event) override
    {
        if (receiver != manager || event->type() != QEvent::MetaCall)
            return QCoreApplication::notify(receiver, event);
        QElapsedTimer clock;
        clock.start();
        const bool r = QCoreApplication::notify(receiver, event);
        signalNs += clock.nsecsElapsed();
        return r;
    }
};

int run(int argc, char** argv)
{
    TimedApp app(argc, argv);
    static QElapsedTimer clock;
    static double downloadStart = -1, applyStart = -1;
    // BENCH_LOG=1 shows the engine's log lines with their times, to see where
    // a run spends its fixed part.
    static const bool showLog = qEnvironmentVariableIsSet("BENCH_LOG");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
        const double now = clock.nsecsElapsed() / 1e9;
        // The download loop's state: everything before it is checking.
        if (downloadStart < 0 && text.endsWith(QLatin1String(" to 4")))
            downloadStart = now;
        // The patch thread's first line, as its first step begins.
        if (applyStart < 0 && text.startsWith(QLatin1String("apply patch:")))
            applyStart = now;
        if (showLog)
            std::fprintf(stderr, "%8.3f %s\n", now, qPrintable(text));
    });
    CountingDisplay display;
    TimedManager manager;
    app.manager = &manager;
    const QString dir = QString::fromLocal8Bit(argv[3]);
    manager.init(&display, QString::fromLocal8Bit(argv[2]), dir + "/Patch", dir + "/Drevna");
    manager.patchFinishSleepMs = 0;
    double patchStart = 0, patchEnd = 0;
    manager.eventHook = [&](const QString& name, const QString& val1, const QString&) {
        const double now = clock.nsecsElapsed() / 1e9;
        if (name == QLatin1String("update_patch_start"))
            patchStart = now;
        if (name == QLatin1String("update_patch_end"))
            patchEnd = now;
        if (name == QLatin1String("update_finish")) {
            const double lines = recordNs / 1e9, chains = chainNs / 1e9;
            const double checked = qMax(downloadStart, 0.0), applied = qMax(applyStart, patchStart);
            std::printf("%.3f %.3f %.3f checking=%.3f downloading=%.3f setup=%.3f applying=%.3f "
                        "records=%.3f chain=%.3f after=%.3f signals=%.3f display=%d\n",
                        now, patchStart, patchEnd - applied, checked, patchStart - checked,
                        applied - patchStart, patchEnd - applied - lines - chains, lines, chains,
                        now - patchEnd, signalNs / 1e9, displayCalls);
            std::fflush(stdout);
            _exit(0);
        }
        if (name == QLatin1String("update_error")) {
            std::fprintf(stderr, "bench_update: %s\n", qPrintable(val1));
            std::fflush(stderr);
            _exit(1);
        }
    };
    clock.start();
    manager.start();
    return app.exec();
}
} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && !std::strcmp(argv[1], "make")) {
        const int bytes = std::atoi(argv[4]);
        return makeFull(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]),
                        [bytes](int) { return bytes; });
    }
    if ((argc == 3 || argc == 4) && !std::strcmp(argv[1], "game"))
        return makeGame(QString::fromLocal8Bit(argv[2]), argc == 4 ? std::atoi(argv[3]) : 1);
    if (argc == 5 && !std::strcmp(argv[1], "diffs"))
        return makeDiffs(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                         std::atoi(argv[4]));
    if (argc == 4 && !std::strcmp(argv[1], "run"))
        return run(argc, argv);
    std::fprintf(stderr, "usage: bench_update make ROOT COUNT BYTES | game ROOT [EVERY] | "
                         "diffs ROOT GAME COUNT | run BASE_URL DIR\n");
    return 2;
}

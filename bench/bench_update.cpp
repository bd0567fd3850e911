// End-to-end update benchmark: one PatchManager as the launcher runs it, from
// start() to "update_finish", against a content server: the patch list, the
// full package's file list, every download, the patch thread with its
// records, the cleanup and the second check.
//
//   bench_update make ROOT COUNT BYTES   content of COUNT random files of BYTES
//   bench_update run BASE_URL DIR        installs into DIR/Drevna via DIR/Patch
//
// run prints "<seconds to update_finish> <seconds until patching starts>
// <seconds patching>". The patch thread's fixed 2 s pause after its
// last file is left out: it costs the same at any count.
#include "app/program.h"
#include "nulldisplay.h"
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
#include <cstdio>
#include <cstring>
#include <unistd.h>

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

// ROOT/patchlist.json names only the full package, ROOT/full holds its list
// and its files, a hundred to a folder.
int make(const QString& root, int count, int bytes)
{
    QRandomGenerator random(20);
    QJsonArray list;
    QByteArray data(bytes, Qt::Uninitialized);
    for (int i = 0; i < count; ++i) {
        random.fillRange(reinterpret_cast<quint32*>(data.data()), bytes / 4);
        const QString name = QString::asprintf("d%04d/f%06d.bin.patch", i / 100, i);
        if (!put(root + "/full/" + name, data))
            return 1;
        const QString md5 = QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
        list.append(QJsonObject{{"name", name},
                                {"size", bytes},
                                {"md5", md5},
                                {"type", "add"},
                                {"srcmd5", ""},
                                {"destmd5", md5}});
    }
    const QJsonObject full{{"version", 10006}, {"preversion", 0}, {"path", "full"}};
    return put(root + "/full/patchfiles.json",
               QJsonDocument(QJsonObject{{"filelist", list}}).toJson()) &&
                   put(root + "/patchlist.json",
                       QJsonDocument(
                           QJsonObject{{"patchversion", QJsonObject()}, {"fullversion", full}})
                           .toJson())
               ? 0
               : 1;
}

int run(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // BENCH_LOG=1 shows the engine's log lines with their times, to see where
    // a run spends its fixed part.
    static QElapsedTimer logClock;
    logClock.start();
    if (qEnvironmentVariableIsSet("BENCH_LOG"))
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            std::fprintf(stderr, "%8.3f %s\n", logClock.nsecsElapsed() / 1e9, qPrintable(text));
        });
    else
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    NullDisplay display;
    PatchManager manager;
    const QString dir = QString::fromLocal8Bit(argv[3]);
    manager.init(&display, QString::fromLocal8Bit(argv[2]), dir + "/Patch", dir + "/Drevna");
    manager.patchFinishSleepMs = 0;
    QElapsedTimer clock;
    double patchStart = 0, patchEnd = 0;
    manager.eventHook = [&](const QString& name, const QString& val1, const QString&) {
        const double now = clock.nsecsElapsed() / 1e9;
        if (name == QLatin1String("update_patch_start"))
            patchStart = now;
        if (name == QLatin1String("update_patch_end"))
            patchEnd = now;
        if (name == QLatin1String("update_finish")) {
            std::printf("%.3f %.3f %.3f\n", now, patchStart, patchEnd - patchStart);
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
    if (argc == 5 && !std::strcmp(argv[1], "make"))
        return make(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    if (argc == 4 && !std::strcmp(argv[1], "run"))
        return run(argc, argv);
    std::fprintf(stderr, "usage: bench_update make ROOT COUNT BYTES | run BASE_URL DIR\n");
    return 2;
}

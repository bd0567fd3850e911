// Download benchmark helper: runs the update engine's download loop (state 4)
// over a given file list and reports the time until patching would start.
//
//   [BENCH_TRANSFERS=N] [BENCH_RATE=BYTES_PER_S] [BENCH_CA=PEM] [BENCH_LOG=1]
//   bench_download BASE_URL PATCH_DIR LIST
//
// LIST has one file a line: "STEP_PATH NAME SIZE MD5". Prints
// "<seconds> <files> <bytes> <seconds between transfers>" and ends the moment
// the engine starts patching. The time between transfers runs from each
// transfer's end to the next request (or to the start of patching): what the
// loop itself spends on a file besides the transfer. BENCH_CA adds a
// certificate authority to the system's (a server of the bench's own);
// BENCH_LOG=1 writes the loop's changes of its number of transfers to stderr
// with their times.
#include "app/program.h"
#include "engineprobe.h"
#include "nulldisplay.h"
#include "update/patchmanager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

const MainWindow::PlatformType buildChannel = MainWindow::STM;
const FolderLayout buildFolderLayout = FolderLayout::Launcher;

namespace
{
QElapsedTimer sinceStart;
qint64 finishedAt = -1; // end of the last transfer, -1 once the next one started
qint64 waited = 0;
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_download BASE_URL PATCH_DIR LIST\n");
        return 2;
    }
    // Log lines are dropped; the one that starts each request ends a gap.
    if (qEnvironmentVariableIsSet("BENCH_CA")) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(tls.caCertificates() +
                              QSslCertificate::fromPath(qEnvironmentVariable("BENCH_CA")));
        QSslConfiguration::setDefaultConfiguration(tls);
    }
    static const bool logChanges = qEnvironmentVariableIntValue("BENCH_LOG") == 1;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
        if (logChanges && (text.startsWith(QLatin1String("transfers ")) ||
                           text.startsWith(QLatin1String("download:")) ||
                           text.startsWith(QLatin1String("download timeout"))))
            std::fprintf(stderr, "%8.3f %s\n", sinceStart.nsecsElapsed() / 1e9, qPrintable(text));
        if (finishedAt >= 0 && text.startsWith(QLatin1String("download url:"))) {
            waited += sinceStart.nsecsElapsed() - finishedAt;
            finishedAt = -1;
        }
    });

    NullDisplay display;
    PatchManager manager;
    manager.init(&display, QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]),
                 QString::fromLocal8Bit(argv[2]) + QStringLiteral("/../game"));
    // As [download] maxTransfers would set it: the ceiling of the number.
    if (qEnvironmentVariableIsSet("BENCH_TRANSFERS"))
        probe(manager).maxTransfers = qEnvironmentVariableIntValue("BENCH_TRANSFERS");
    // As [download] maxKBps would set it, in bytes per second.
    probe(manager).http.maxBytesPerSecond = qEnvironmentVariableIntValue("BENCH_RATE");
    QFile list(QString::fromLocal8Bit(argv[3]));
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text))
        return 2;
    while (!list.atEnd()) {
        const QList<QByteArray> parts = list.readLine().trimmed().split(' ');
        if (parts.size() != 4)
            continue;
        DownloadFileInfo f;
        f.path = QString::fromLatin1(parts[0]);
        f.name = QString::fromLatin1(parts[1]);
        f.type = QStringLiteral("add");
        f.size = parts[2].toLongLong();
        f.md5 = QString::fromLatin1(parts[3]);
        probe(manager).downloads << f;
        probe(manager).allTotal += f.size;
    }

    QObject::connect(&probe(manager).http, &HttpClient::replyEnded, &manager,
                     [&] { finishedAt = sinceStart.nsecsElapsed(); });
    manager.eventHook = [&](const QString& name, const QString& val1, const QString&) {
        if (name == QLatin1String("update_patch_start")) {
            if (finishedAt >= 0)
                waited += sinceStart.nsecsElapsed() - finishedAt;
            std::printf("%.3f %d %lld %.3f\n", sinceStart.nsecsElapsed() / 1e9,
                        int(probe(manager).downloads.size()), probe(manager).allTotal,
                        waited / 1e9);
            std::fflush(stdout);
            _exit(0); // before the patch thread starts: only the download is measured
        }
        if (name == QLatin1String("update_error")) {
            std::fprintf(stderr, "bench_download: %s\n", qPrintable(val1));
            std::fflush(stderr);
            _exit(1);
        }
    };

    // The engine's own 100 ms coarse tick, without the patch-list states.
    QTimer tick;
    tick.setTimerType(Qt::CoarseTimer);
    QObject::connect(&tick, &QTimer::timeout, &manager, [&] { manager.tick(); });
    QTimer::singleShot(0, &manager, [&] {
        sinceStart.start();
        tick.start(100);
        probe(manager).downloadIndex = -1;
        manager.switchState(4);
        manager.downloadNextPatchFile();
    });
    return app.exec();
}

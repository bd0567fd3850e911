#include "smalldisk.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>

#include <csignal>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
// Room for the largest test file besides the filler and the update's own
// small files.
const char tmpfsOptions[] = "size=4m";
const char fillerName[] = ".filler";

bool ownNamespace = false;
rlim_t savedLimit = RLIM_INFINITY;

QString systemError(const char* what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(strerror(errno)));
}
} // namespace

bool SmallDisk::enterOwnMountNamespace()
{
    if (ownNamespace)
        return true;
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0)
        return false;
    // Mounts made here must not spread back to the shared tree.
    ownNamespace = mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return ownNamespace;
}

SmallDisk::SmallDisk(Kind k, const QString& f) : kind(k), folder(f)
{
    if (kind == FileSizeLimit) {
        ready = true;
        return;
    }
    if (!ownNamespace) {
        error = QStringLiteral("no mount namespace of our own (needs root)");
        return;
    }
    if (mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
              tmpfsOptions) != 0) {
        error = systemError("mount");
        return;
    }
    mounted = ready = true;
}

SmallDisk::~SmallDisk()
{
    release();
    if (mounted)
        umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
}

bool SmallDisk::fill(qint64 bytes)
{
    if (!ready)
        return false;
    if (kind == FileSizeLimit) {
        rlimit limit{};
        if (getrlimit(RLIMIT_FSIZE, &limit) != 0)
            return false;
        if (!limited)
            savedLimit = limit.rlim_cur;
        signal(SIGXFSZ, SIG_IGN);
        limit.rlim_cur = rlim_t(bytes);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            error = systemError("setrlimit");
            return false;
        }
        limited = true;
        return true;
    }
    QStorageInfo storage(folder);
    const qint64 page = qMax(1, storage.blockSize());
    const qint64 wanted = (bytes + page - 1) / page * page;
    const qint64 surplus = storage.bytesAvailable() - wanted;
    if (surplus < 0) {
        error = QStringLiteral("only %1 bytes free").arg(storage.bytesAvailable());
        return false;
    }
    QFile filler(QDir(folder).filePath(QLatin1String(fillerName)));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Append) ||
        filler.write(QByteArray(int(surplus), '\0')) != surplus || !filler.flush()) {
        error = filler.errorString();
        return false;
    }
    filler.close();
    storage.refresh();
    if (storage.bytesAvailable() != wanted) {
        error = QStringLiteral("%1 bytes free, not %2").arg(storage.bytesAvailable()).arg(wanted);
        return false;
    }
    return true;
}

void SmallDisk::release()
{
    if (limited) {
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = savedLimit;
        setrlimit(RLIMIT_FSIZE, &limit);
        limited = false;
    }
    if (mounted)
        QFile::remove(QDir(folder).filePath(QLatin1String(fillerName)));
}

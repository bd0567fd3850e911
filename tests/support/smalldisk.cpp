#include "smalldisk.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
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
    // Mounts made here must not spread back to the shared tree.
    ownNamespace =
        ownNamespace || (geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
    return ownNamespace;
}

SmallDisk::SmallDisk(Kind k, const QString& f) : kind(k), folder(f)
{
    if (kind == FileSizeLimit)
        ready = true;
    else if (!ownNamespace)
        error = QStringLiteral("no mount namespace of our own (needs root)");
    else if (mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                   "size=4m") != 0)
        error = systemError("mount");
    else
        ready = true;
}

SmallDisk::~SmallDisk()
{
    release();
    if (ready && kind == Tmpfs)
        umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
}

bool SmallDisk::fill(qint64 bytes)
{
    if (kind == FileSizeLimit) {
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        if (!limited)
            savedLimit = limit.rlim_cur;
        signal(SIGXFSZ, SIG_IGN);
        limit.rlim_cur = rlim_t(bytes);
        limited = setrlimit(RLIMIT_FSIZE, &limit) == 0;
        if (!limited)
            error = systemError("setrlimit");
        return limited;
    }
    QStorageInfo storage(folder);
    const qint64 page = qMax(1, storage.blockSize());
    const qint64 wanted = (bytes + page - 1) / page * page;
    const qint64 surplus = storage.bytesAvailable() - wanted;
    QFile filler(QDir(folder).filePath(QStringLiteral(".filler")));
    if (surplus < 0 || !filler.open(QIODevice::WriteOnly) ||
        filler.write(QByteArray(int(surplus), '\0')) != surplus || !filler.flush()) {
        error = QStringLiteral("cannot leave %1 bytes free").arg(wanted);
        return false;
    }
    storage.refresh();
    error = QStringLiteral("%1 bytes free, not %2").arg(storage.bytesAvailable()).arg(wanted);
    return storage.bytesAvailable() == wanted;
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
    if (ready && kind == Tmpfs)
        QFile::remove(QDir(folder).filePath(QStringLiteral(".filler")));
}

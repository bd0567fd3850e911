#include "base/platform.h"

#include <QFile>
#include <QFont>
#include <QProcess>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace platform
{

#ifdef Q_OS_WIN

void debugOutput(const QString& text)
{
    OutputDebugStringW(reinterpret_cast<const wchar_t*>(text.utf16()));
}

void killProcessesByName(const QString& name)
{
    QProcess::execute(QStringLiteral("taskkill /im ") + name + QStringLiteral(" /f"));
}

bool ensureOwnerExecutable(const QString&)
{
    return true;
}

void exitNow(int code)
{
    ::exit(code);
}

void adviseLargePages(void*, size_t) {}

bool replaceFile(const QString& from, const QString& to)
{
    return MoveFileExW(reinterpret_cast<const wchar_t*>(from.utf16()),
                       reinterpret_cast<const wchar_t*>(to.utf16()),
                       MOVEFILE_REPLACE_EXISTING) != 0;
}

void substituteWindowsFonts() {}

#else

void debugOutput(const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
}

namespace
{
QByteArray readProcFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The base name of a program path, with either separator: under wine the
// arguments are Windows paths.
QString baseName(const QString& path)
{
    static const QRegularExpression separator(QStringLiteral("[/\\\\]"));
    return path.section(separator, -1);
}

// Programs that run another file named as their argument.
bool runsAnotherFile(const QString& program)
{
    static const QRegularExpression runners(
        QStringLiteral("^(sh|ash|bash|dash|zsh|ksh|mksh|busybox|python[0-9.]*|perl[0-9.]*|"
                       "ruby[0-9.]*|node|wine|wine64|wine-preloader|wine64-preloader)$"));
    return runners.match(program).hasMatch();
}

QString programName(const QString& pidDir)
{
    char target[4096];
    const ssize_t n = ::readlink(QFile::encodeName(pidDir + QStringLiteral("/exe")).constData(),
                                 target, sizeof target);
    if (n <= 0)
        return QString();
    QString path = QFile::decodeName(QByteArray(target, int(n)));
    if (path.endsWith(QLatin1String(" (deleted)")))
        path.chop(10);
    return baseName(path);
}

// The real user id from the "Uid:" line of /proc/PID/status; -1 if unknown.
qint64 realUserId(const QString& pidDir)
{
    const QList<QByteArray> lines = readProcFile(pidDir + QStringLiteral("/status")).split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith("Uid:")) {
            bool ok = false;
            const qint64 uid = line.mid(4).simplified().split(' ').value(0).toLongLong(&ok);
            return ok ? uid : -1;
        }
    }
    return -1;
}

// A process is the game when its executable is (the base name of
// /proc/PID/exe, or the command name, which the kernel cuts to 15
// characters), or when a shell, an interpreter or wine runs a file of that
// name. A viewer, an editor or a checksum tool given the game's file as its
// argument is not the game.
bool processHasName(const QString& pidDir, const QString& name)
{
    const QString program = programName(pidDir);
    if (program == name)
        return true;
    const QString comm =
        QString::fromLocal8Bit(readProcFile(pidDir + QStringLiteral("/comm"))).trimmed();
    if (name.size() <= 15 && comm == name)
        return true;
    if (!runsAnotherFile(program))
        return false;
    // Split before decoding: decoding stops at the first NUL. Wine shows the
    // Windows program as the first word; a shell or an interpreter names its
    // script as the first word that is no option.
    const QList<QByteArray> args = readProcFile(pidDir + QStringLiteral("/cmdline")).split('\0');
    if (baseName(QString::fromLocal8Bit(args.value(0))) == name)
        return true;
    for (int i = 1; i < args.size(); ++i) {
        if (args.at(i).isEmpty() || args.at(i).startsWith('-'))
            continue;
        return baseName(QString::fromLocal8Bit(args.at(i))) == name;
    }
    return false;
}

// Only the user's own processes: the game runs as the player, and a process
// of another user is none of the launcher's business.
QList<pid_t> processesNamed(const QString& name)
{
    QList<pid_t> pids;
    const pid_t self = getpid();
    const qint64 user = qint64(getuid());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool ok = false;
        const pid_t pid = pid_t(entry.toInt(&ok));
        if (!ok || pid == self)
            continue;
        const QString dir = QStringLiteral("/proc/") + entry;
        if (realUserId(dir) == user && processHasName(dir, name))
            pids.append(pid);
    }
    return pids;
}

bool processRunning(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    // A zombie is gone as far as the files it held are concerned.
    return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ");
}
} // namespace

void killProcessesByName(const QString& name)
{
    if (name.isEmpty())
        return;
    // A process that could not be signalled will not end: waiting for it
    // would only hold the window.
    QList<pid_t> signalled;
    for (pid_t pid : processesNamed(name)) {
        if (::kill(pid, SIGKILL) == 0)
            signalled.append(pid);
    }
    // Like the system command it stands for, return only once they are gone.
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        signalled.erase(std::remove_if(signalled.begin(), signalled.end(),
                                       [](pid_t pid) { return !processRunning(pid); }),
                        signalled.end());
        if (signalled.isEmpty())
            return;
        QThread::msleep(10);
    }
}

void adviseLargePages(void* data, size_t size)
{
#ifdef MADV_HUGEPAGE
    constexpr quintptr huge = 2 * 1024 * 1024;
    const quintptr begin = (quintptr(data) + huge - 1) & ~(huge - 1);
    const quintptr end = (quintptr(data) + size) & ~(huge - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    Q_UNUSED(data);
    Q_UNUSED(size);
#endif
}

bool replaceFile(const QString& from, const QString& to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

void exitNow(int code)
{
    // Lines already printed must still reach their files.
    fflush(nullptr);
    ::_exit(code);
}

bool ensureOwnerExecutable(const QString& path)
{
    QFile file(path);
    const QFile::Permissions p = file.permissions();
    if (p & QFile::ExeOwner)
        return true;
    return file.setPermissions(p | QFile::ExeOwner);
}

void substituteWindowsFonts()
{
    const QStringList installed{QStringLiteral("Noto Sans CJK SC"),
                                QStringLiteral("WenQuanYi Micro Hei"),
                                QStringLiteral("Droid Sans Fallback")};
    for (const char* family : {"Microsoft YaHei", "Microsoft YaHei UI", "微软雅黑"})
        QFont::insertSubstitutions(QString::fromUtf8(family), installed);
}

#endif

} // namespace platform

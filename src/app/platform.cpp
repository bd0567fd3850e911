#include "app/platform.h"

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
#include <QThread>
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

// A process has an executable name when its command name is that name (the
// kernel cuts it to 15 characters) or when its program or first argument is
// a file of that name: a script started under the name runs as its
// interpreter with the script as first argument.
bool processHasName(const QString& pidDir, const QString& name)
{
    // Split before decoding: decoding stops at the first NUL.
    const QList<QByteArray> args = readProcFile(pidDir + QStringLiteral("/cmdline")).split('\0');
    bool argNamed = false;
    for (int i = 0; i < args.size() && i < 2; ++i)
        argNamed =
            argNamed || QString::fromLocal8Bit(args.at(i)).section(QLatin1Char('/'), -1) == name;
    if (argNamed)
        return true;
    const QString comm =
        QString::fromLocal8Bit(readProcFile(pidDir + QStringLiteral("/comm"))).trimmed();
    return name.size() <= 15 && comm == name;
}

QList<pid_t> processesNamed(const QString& name)
{
    QList<pid_t> pids;
    const pid_t self = getpid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool ok = false;
        const pid_t pid = pid_t(entry.toInt(&ok));
        if (!ok || pid == self)
            continue;
        if (processHasName(QStringLiteral("/proc/") + entry, name))
            pids.append(pid);
    }
    return pids;
}
} // namespace

void killProcessesByName(const QString& name)
{
    if (name.isEmpty())
        return;
    for (pid_t pid : processesNamed(name))
        ::kill(pid, SIGKILL);
    // Like the system command it stands for, return only once they are gone.
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        const QList<pid_t> left = processesNamed(name);
        bool alive = false;
        for (pid_t pid : left) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            // A zombie is gone as far as the files it held are concerned.
            if (stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z "))
                alive = true;
        }
        if (!alive)
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

#include "fuzzsupport.h"

#include "app/program.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

// The fuzzers stand in for the launcher program.
const MainWindow::PlatformType buildChannel = MainWindow::STM;
const FolderLayout buildFolderLayout = FolderLayout::Launcher;

void fuzzInit()
{
    static int argc = 1;
    static char name[] = "drevna-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = nullptr;
    if (app)
        return;
    app = new QCoreApplication(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    if (!std::freopen("/dev/null", "w", stdout))
        std::fprintf(stderr, "fuzz: standard output stays open\n");
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzInit();
    return 0;
}

QByteArray fuzzBytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), int(size));
}

QByteArray md5Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

void fuzzFail(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "fuzz: property broken at %s:%d: %s\n", file, line, what);
    std::abort();
}

QTemporaryDir& fuzzWorkDir()
{
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                 ? QStringLiteral("/dev/shm/drevna-fuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/drevna-fuzz-XXXXXX"));
    FUZZ_CHECK(dir.isValid());
    return dir;
}

void fuzzPut(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes) == bytes.size());
}

bool fuzzInside(const QString& path, const QString& folder)
{
    return QDir::cleanPath(path).startsWith(folder + QLatin1Char('/'));
}

MemoryFile::MemoryFile(const char* name)
{
    fd = memfd_create(name, 0);
    if (fd < 0)
        fuzzFail("memfd_create", __FILE__, __LINE__);
    filePath = "/proc/self/fd/" + QByteArray::number(fd);
}

MemoryFile::~MemoryFile()
{
    close(fd);
}

void MemoryFile::setContents(const QByteArray& bytes)
{
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, bytes.constData(), size_t(bytes.size()), 0) == bytes.size());
}

QByteArray MemoryFile::contents() const
{
    const off_t size = lseek(fd, 0, SEEK_END);
    QByteArray bytes(int(size), Qt::Uninitialized);
    FUZZ_CHECK(pread(fd, bytes.data(), size_t(size), 0) == size);
    return bytes;
}

#include "patch/patchfile.h"

#include "app/platform.h"

#include <QCryptographicHash>
#include <QFile>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

extern "C" {
#include "xdelta3.h"
}

namespace
{

constexpr qint64 LargeBlockSize = 64 * 1024 * 1024;
constexpr qint64 SmallBlockSize = 2 * 1024 * 1024;
constexpr qint64 MaxSourceWindow = 64 * 1024 * 1024;

// The failure lines go to standard output, outside the debug log.
void printFailure(const char* format, const QByteArray& a = {}, const QByteArray& b = {})
{
    std::printf(format, a.constData(), b.constData());
    std::fflush(stdout);
}

// Source blocks are slices of the old file held in memory.
SourceBlockFn memorySource(const quint8* data, qint64 size, qint64 blockSize)
{
    return [data, size, blockSize](xd3_stream*, xd3_source* source) -> qint64 {
        const qint64 offset = qint64(source->getblkno) * blockSize;
        const qint64 count = offset < size ? qMin(size - offset, blockSize) : 0;
        source->curblk = data + (count > 0 ? offset : 0);
        source->curblkno = source->getblkno;
        source->onblk = usize_t(count);
        return count;
    };
}

ReadInputFn fileInput(QFile& file)
{
    return [&file](xd3_stream*, quint8* buffer, qint64 capacity) -> qint64 {
        qint64 total = 0;
        while (total < capacity) {
            const qint64 n = file.read(reinterpret_cast<char*>(buffer) + total, capacity - total);
            if (n <= 0)
                break;
            total += n;
        }
        return total;
    };
}

// Lower-case hex MD5 of a buffer of any size (the hash takes int counts).
QByteArray md5OfMemory(const quint8* data, qint64 size)
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    for (qint64 done = 0; done < size;) {
        const int n = int(qMin<qint64>(size - done, 1 << 30));
        md5.addData(reinterpret_cast<const char*>(data) + done, n);
        done += n;
    }
    return md5.result().toHex();
}

} // namespace

qint64 sourceBlockSize(qint64 sourceSize)
{
    return sourceSize <= LargeBlockSize ? LargeBlockSize : SmallBlockSize;
}

QString md5OfFile(const QByteArray& path)
{
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (!md5.addData(&file))
        return QString();
    return QString::fromLatin1(md5.result().toHex());
}

quint8* readWholeFile(const QByteArray& path, qint64& size)
{
    size = 0;
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    const qint64 expected = file.size();
    // One spare byte so that an empty file still gets a valid buffer.
    std::unique_ptr<quint8[]> data(new (std::nothrow) quint8[size_t(expected) + 1]);
    if (!data)
        return nullptr;
    platform::adviseLargePages(data.get(), size_t(expected));
    qint64 total = 0;
    while (total < expected) {
        const qint64 n = file.read(reinterpret_cast<char*>(data.get()) + total, expected - total);
        if (n < 0)
            return nullptr;
        if (n == 0)
            break; // shrank while reading
        total += n;
    }
    size = total;
    return data.release();
}

int decodeDelta(bool encode, ReadInputFn readInput, SourceBlockFn getSourceBlock,
                WriteOutputFn writeOutput, qint64 maxWindow, qint64 blockSize, qint64 sourceSize)
{
    xd3_stream stream;
    xd3_source source;
    xd3_config config;
    memset(&stream, 0, sizeof(stream));
    memset(&source, 0, sizeof(source));
    memset(&config, 0, sizeof(config));
    config.flags = XD3_ADLER32;
    config.smatch_cfg = XD3_SMATCH_FAST;
    config.winsize = 0;

    if (xd3_config_stream(&stream, &config) != 0) {
        xd3_free_stream(&stream);
        return -1;
    }
    source.blksize = usize_t(blockSize);
    source.max_winsize = xoff_t(maxWindow);
    if (getSourceBlock(&stream, &source) == 0 ||
        xd3_set_source_and_size(&stream, &source, xoff_t(sourceSize)) != 0) {
        xd3_free_stream(&stream);
        return -1;
    }

    const qint64 windowSize = stream.winsize;
    std::vector<quint8> input(size_t(windowSize), 0);
    int result = 0;
    bool finished = false;
    while (!finished) {
        const qint64 got = readInput(&stream, input.data(), windowSize);
        if (got < 0) {
            result = -1;
            break;
        }
        const bool fullChunk = got == windowSize;
        if (!fullChunk)
            stream.flags |= XD3_FLUSH;
        xd3_avail_input(&stream, input.data(), usize_t(got));
        // The encoder must not be handed an empty window after real ones.
        if (encode && got == 0 && stream.current_window > 0)
            break;

        for (bool more = true; more;) {
            const int ret = encode ? xd3_encode_input(&stream) : xd3_decode_input(&stream);
            switch (ret) {
            case XD3_GOTHEADER:
            case XD3_WINSTART:
            case XD3_WINFINISH:
                break;
            case XD3_GETSRCBLK:
                getSourceBlock(&stream, &source);
                break;
            case XD3_OUTPUT: {
                const qint64 written = writeOutput(&stream);
                if (written != qint64(stream.avail_out)) {
                    // A short write must never read as success.
                    result = written != 0 ? int(written) : -1;
                    more = false;
                    finished = true;
                    break;
                }
                xd3_consume_output(&stream);
                break;
            }
            case XD3_INPUT:
                more = false;
                finished = !fullChunk;
                break;
            default:
                result = ret;
                more = false;
                finished = true;
                break;
            }
        }
    }

    xd3_close_stream(&stream);
    xd3_free_stream(&stream);
    return result;
}

int applyPatchFile(const QByteArray& sourcePath, const QByteArray& patchPath,
                   const QByteArray& destPath, std::function<void(qint64)> onProgress)
{
    qint64 oldSize = 0;
    std::unique_ptr<quint8[]> old(readWholeFile(sourcePath, oldSize));
    // The old file is hashed where it already lies in memory rather than read
    // a second time; the file itself only when it could not be loaded.
    const QByteArray sourceMd5 =
        old ? md5OfMemory(old.get(), oldSize) : md5OfFile(sourcePath).toLatin1();

    QFile patch(QFile::decodeName(patchPath));
    if (!patch.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray header = patch.read(PatchHeaderSize);
    // A patch too short for its header is as malformed as a wrong magic.
    if (header.size() < PatchHeaderSize || !header.startsWith("PPAK")) {
        printFailure("patch failed magic err \n");
        return -1;
    }
    const QByteArray expectedSource = header.mid(4, 32);
    const QByteArray expectedDest = header.mid(36, 32);
    if (sourceMd5 != expectedSource || !old) {
        printFailure("patch failed src md5  err %s -> %s \n", sourceMd5, expectedSource);
        return -1;
    }

    // Unbuffered, so that a failed write shows at once and is never hashed.
    QFile out(QFile::decodeName(destPath));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return -1;
    QCryptographicHash outMd5(QCryptographicHash::Md5);
    const qint64 blockSize = sourceBlockSize(oldSize);
    qint64 total = 0;

    auto writeOutput = [&](xd3_stream* stream) -> qint64 {
        const char* data = reinterpret_cast<const char*>(stream->next_out);
        const qint64 count = stream->avail_out;
        if (out.error() != QFileDevice::NoError || out.write(data, count) != count)
            return 0;
        total += count;
        if (onProgress)
            onProgress(total);
        outMd5.addData(data, int(count));
        return count;
    };

    // Only the destination check decides; a decoder failure shows there.
    decodeDelta(false, fileInput(patch), memorySource(old.get(), oldSize, blockSize), writeOutput,
                MaxSourceWindow, blockSize, oldSize);

    const bool flushed = out.flush();
    const QByteArray destMd5 = outMd5.result().toHex();
    if (flushed && destMd5 == expectedDest)
        return 0;
    printFailure("patch failed dest md5  err %s -> %s \n", destMd5, expectedDest);
    return -1;
}

int createPatchFile(const QByteArray& oldPath, const QByteArray& newPath,
                    const QByteArray& patchPath)
{
    const QByteArray oldMd5 = md5OfFile(oldPath).toLatin1();
    const QByteArray newMd5 = md5OfFile(newPath).toLatin1();
    qint64 oldSize = 0;
    std::unique_ptr<quint8[]> old(readWholeFile(oldPath, oldSize));
    QFile input(QFile::decodeName(newPath));
    QFile out(QFile::decodeName(patchPath));
    if (oldMd5.isEmpty() || newMd5.isEmpty() || !old || !input.open(QIODevice::ReadOnly) ||
        !out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return -1;
    if (out.write("PPAK" + oldMd5 + newMd5) != PatchHeaderSize)
        return -1;

    auto writeOutput = [&](xd3_stream* stream) -> qint64 {
        return out.write(reinterpret_cast<const char*>(stream->next_out), stream->avail_out);
    };
    const qint64 blockSize = sourceBlockSize(oldSize);
    const int r = decodeDelta(true, fileInput(input), memorySource(old.get(), oldSize, blockSize),
                              writeOutput, MaxSourceWindow, blockSize, oldSize);
    if (r != 0 || !out.flush())
        return -1;
    out.close();
    return out.error() == QFileDevice::NoError ? 0 : -1;
}

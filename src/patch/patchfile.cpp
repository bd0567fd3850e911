#include "patch/patchfile.h"

#include "base/platform.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <new>

extern "C" {
#include "xdelta3.h"
}

namespace
{

constexpr qint64 LargeBlockSize = 64 * 1024 * 1024;
constexpr qint64 SmallBlockSize = 2 * 1024 * 1024;
constexpr qint64 MaxSourceWindow = 64 * 1024 * 1024;
// The old file is read from disk in blocks of this size whatever its size, so
// that the memory a decode needs stays the same for any old file.
constexpr qint64 ReadBlockSize = 256 * 1024;
// Blocks kept for the decoder to return to: copies jump back and forth
// between nearby places of the old file, and in a binary rebuilt with shifted
// addresses between places all over it, so many small blocks serve those
// jumps far better than a few large ones in the same memory.
constexpr int ReadBlockSlots = 64;
constexpr qint64 HashChunkSize = 1024 * 1024;
// The output is hashed from copies in a few buffers of this size.
constexpr qint64 OutputChunkSize = 4 * 1024 * 1024;
constexpr int OutputChunks = 3;

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

// Reads up to size bytes; fewer only at the end of the file or on an error.
qint64 readFully(QFile& file, quint8* data, qint64 size)
{
    qint64 total = 0;
    while (total < size) {
        const qint64 n = file.read(reinterpret_cast<char*>(data) + total, size - total);
        if (n <= 0)
            break;
        total += n;
    }
    return total;
}

// Source blocks read from the old file into a few buffers, kept from one
// patch to the next. A block that cannot be read whole (read error, file
// shrunk) is served short, which the decoder reports as a source too short
// instead of reading past it.
class FileSource
{
public:
    void use(QFile& oldFile, qint64 oldSize)
    {
        file = &oldFile;
        size = oldSize;
        for (Slot& s : blocks)
            s.blockNo = -1;
    }

    qint64 operator()(xd3_stream*, xd3_source* source)
    {
        const qint64 blockNo = qint64(source->getblkno);
        Slot* slot = &blocks[0];
        for (Slot& s : blocks) {
            if (s.blockNo == blockNo) {
                slot = &s;
                break;
            }
            if (s.lastUse < slot->lastUse)
                slot = &s;
        }
        if (slot->blockNo != blockNo) {
            if (!slot->data)
                slot->data.reset(new (std::nothrow) quint8[size_t(ReadBlockSize)]);
            slot->blockNo = blockNo;
            slot->bytes = slot->data ? read(blockNo * ReadBlockSize, slot->data.get()) : 0;
        }
        slot->lastUse = ++uses;
        // Never a null block: the decoder would ask for it again without end.
        static const quint8 nothing = 0;
        source->curblk = slot->data ? slot->data.get() : &nothing;
        source->curblkno = source->getblkno;
        source->onblk = usize_t(slot->bytes);
        return slot->bytes;
    }

private:
    struct Slot {
        qint64 blockNo = -1;
        qint64 bytes = 0;
        quint64 lastUse = 0;
        std::unique_ptr<quint8[]> data;
    };

    qint64 read(qint64 offset, quint8* data)
    {
        const qint64 wanted = offset < size ? qMin(size - offset, ReadBlockSize) : 0;
        if (wanted > 0 && !file->seek(offset))
            return 0;
        return readFully(*file, data, wanted);
    }

    QFile* file = nullptr;
    qint64 size = 0;
    Slot blocks[ReadBlockSlots];
    quint64 uses = 0;
};

// MD5 of the first size bytes of an open file, or of fewer when it ends
// early or a read fails (which then cannot match).
QByteArray md5OfOpenFile(QFile& file, qint64 size)
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size_t(HashChunkSize)]);
    for (qint64 done = 0; buffer && done < size;) {
        const qint64 n = file.read(buffer.get(), qMin(HashChunkSize, size - done));
        if (n <= 0)
            break;
        md5.addData(buffer.get(), int(n));
        done += n;
    }
    return md5.result().toHex();
}

// A thread kept for many patches that runs one job at a time.
class Worker
{
public:
    ~Worker()
    {
        if (!thread)
            return;
        {
            QMutexLocker lock(&mutex);
            quit = true;
            changed.wakeAll();
        }
        thread->wait();
    }

    // False when no thread runs: the caller does the job itself.
    bool post(std::function<void()> work)
    {
        if (!thread) {
            thread.reset(QThread::create([this] { loop(); }));
            thread->start();
        }
        if (!thread->isRunning())
            return false;
        QMutexLocker lock(&mutex);
        job = std::move(work);
        changed.wakeAll();
        return true;
    }

    // Until the job posted last has ended.
    void wait()
    {
        QMutexLocker lock(&mutex);
        while (job)
            changed.wait(&mutex);
    }

private:
    void loop()
    {
        QMutexLocker lock(&mutex);
        for (;;) {
            while (!job && !quit)
                changed.wait(&mutex);
            if (!job)
                return;
            lock.unlock();
            job();
            lock.relock();
            job = nullptr;
            changed.wakeAll();
        }
    }

    QMutex mutex;
    QWaitCondition changed;
    std::function<void()> job;
    bool quit = false;
    std::unique_ptr<QThread> thread;
};

// The old file's MD5, computed on the worker while the calling thread
// decodes; without the worker, result() does the work.
class SourceHash
{
public:
    SourceHash(Worker& worker, QFile& file, qint64 size, const QByteArray& expected)
        : worker(worker), file(file), size(size), expected(expected)
    {
        posted = worker.post([this] { run(); });
    }
    ~SourceHash() { result(); }

    // True as soon as the hash is known not to match.
    bool wrong() const { return mismatch.load(); }

    const QByteArray& result()
    {
        if (posted)
            worker.wait();
        if (!done)
            run();
        return md5;
    }

private:
    void run()
    {
        md5 = md5OfOpenFile(file, size);
        mismatch = md5 != expected;
        done = true;
    }

    Worker& worker;
    QFile& file;
    const qint64 size;
    const QByteArray expected;
    QByteArray md5;
    bool posted = false;
    bool done = false;
    std::atomic<bool> mismatch{false};
};

// Hashes the output on a thread of its own, kept for many patches, so that
// hashing overlaps the decoding and writing. The decoder hands over copies
// and waits only while every buffer is still being hashed. Without a thread
// or buffers it hashes on the caller's thread.
class OutputHash
{
public:
    ~OutputHash()
    {
        if (!thread)
            return;
        {
            QMutexLocker lock(&mutex);
            ending = true;
            changed.wakeAll();
        }
        thread->wait();
    }

    // Starts the hash of the next output.
    void begin()
    {
        if (!thread) {
            for (Chunk& c : chunks)
                c.data.reset(new (std::nothrow) char[size_t(OutputChunkSize)]);
            thread.reset(QThread::create([this] { run(); }));
            if (std::all_of(std::begin(chunks), std::end(chunks),
                            [](const Chunk& c) { return c.data != nullptr; }))
                thread->start();
        }
        // An output given up on may still be hashed.
        QMutexLocker lock(&mutex);
        while (filled > 0)
            changed.wait(&mutex);
        md5.reset();
    }

    void addData(const char* data, qint64 size)
    {
        if (!thread->isRunning()) {
            md5.addData(data, int(size));
            return;
        }
        QMutexLocker lock(&mutex);
        while (size > 0) {
            while (filled == OutputChunks)
                changed.wait(&mutex);
            // The consumer never touches the free buffer at head.
            Chunk& c = chunks[(next + filled) % OutputChunks];
            lock.unlock();
            c.size = qMin(size, OutputChunkSize);
            memcpy(c.data.get(), data, size_t(c.size));
            data += c.size;
            size -= c.size;
            lock.relock();
            ++filled;
            changed.wakeAll();
        }
    }

    QByteArray result()
    {
        QMutexLocker lock(&mutex);
        // A buffer is counted off only once it is hashed.
        while (filled > 0)
            changed.wait(&mutex);
        return md5.result().toHex();
    }

private:
    struct Chunk {
        std::unique_ptr<char[]> data;
        qint64 size = 0;
    };

    void run()
    {
        QMutexLocker lock(&mutex);
        for (;;) {
            while (filled == 0 && !ending)
                changed.wait(&mutex);
            if (filled == 0)
                return;
            const Chunk& c = chunks[next];
            lock.unlock();
            md5.addData(c.data.get(), int(c.size));
            lock.relock();
            next = (next + 1) % OutputChunks;
            --filled;
            changed.wakeAll();
        }
    }

    QMutex mutex;
    QWaitCondition changed;
    Chunk chunks[OutputChunks];
    int next = 0;   // oldest buffer not yet hashed
    int filled = 0; // buffers waiting to be hashed
    bool ending = false;
    QCryptographicHash md5{QCryptographicHash::Md5};
    std::unique_ptr<QThread> thread;
};

// Opens the file beside path that the decode writes to. A fixed name, so
// that one left by a killed launcher is overwritten by the next attempt
// instead of piling up next to the game files.
bool createBeside(QFile& file, const QString& path)
{
    file.setFileName(path + QStringLiteral(".part"));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
}

ReadInputFn fileInput(QFile& file)
{
    return [&file](xd3_stream*, quint8* buffer, qint64 capacity) -> qint64 {
        return readFully(file, buffer, capacity);
    };
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

namespace
{

// The decoder's input buffer, kept from one stream to the next. Left
// uninitialised: a small delta touches only the pages it fills.
struct InputBuffer {
    std::unique_ptr<quint8[]> data;
    qint64 size = 0;

    quint8* get(qint64 wanted)
    {
        if (size < wanted) {
            data.reset(new (std::nothrow) quint8[size_t(wanted)]);
            size = data ? wanted : 0;
        }
        return data.get();
    }
};

int driveStream(bool encode, const ReadInputFn& readInput, const SourceBlockFn& getSourceBlock,
                const WriteOutputFn& writeOutput, qint64 maxWindow, qint64 blockSize,
                qint64 sourceSize, InputBuffer& buffer)
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
    quint8* const input = buffer.get(windowSize);
    if (!input) {
        xd3_free_stream(&stream);
        return -1;
    }
    int result = 0;
    bool finished = false;
    while (!finished) {
        const qint64 got = readInput(&stream, input, windowSize);
        if (got < 0) {
            result = -1;
            break;
        }
        const bool fullChunk = got == windowSize;
        if (!fullChunk)
            stream.flags |= XD3_FLUSH;
        xd3_avail_input(&stream, input, usize_t(got));
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

// Checked before the move: a wrong result never takes the output's name.
int installOutput(QFile& out, bool flushed, const QByteArray& destMd5,
                  const QByteArray& expectedDest, const QString& destPath)
{
    if (!flushed || destMd5 != expectedDest) {
        printFailure("patch failed dest md5  err %s -> %s \n", destMd5, expectedDest);
        out.remove();
        return -1;
    }
    if (!platform::replaceFile(out.fileName(), destPath)) {
        out.remove();
        return -1;
    }
    return 0;
}

} // namespace

int decodeDelta(bool encode, ReadInputFn readInput, SourceBlockFn getSourceBlock,
                WriteOutputFn writeOutput, qint64 maxWindow, qint64 blockSize, qint64 sourceSize)
{
    InputBuffer buffer;
    return driveStream(encode, readInput, getSourceBlock, writeOutput, maxWindow, blockSize,
                       sourceSize, buffer);
}

struct PatchApplier::Kept {
    InputBuffer input;
    FileSource source;
    Worker sourceWorker;
    OutputHash outputHash;
    InputBuffer old; // a small old file, whole
};

PatchApplier::PatchApplier() : kept(new Kept) {}

PatchApplier::~PatchApplier() = default;

int PatchApplier::apply(const QByteArray& sourcePath, const QByteArray& patchPath,
                        const QByteArray& destPath, const std::function<void(qint64)>& onProgress)
{
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

    QFile old(QFile::decodeName(sourcePath));
    if (!old.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        printFailure("patch failed src md5  err %s -> %s \n", {}, expectedSource);
        return -1;
    }
    const Expected expected{expectedSource, expectedDest, QFile::decodeName(destPath)};
    return old.size() <= smallFileLimit ? applySmall(patch, old, expected, onProgress)
                                        : applyLarge(patch, old, expected, onProgress);
}

// The old file is read in one go and checked before anything is written; the
// hashing stays on this thread, where it costs less than a hand-over.
int PatchApplier::applySmall(QFile& patch, QFile& old, const Expected& expected,
                             const std::function<void(qint64)>& onProgress)
{
    const qint64 oldSize = old.size();
    // One spare byte: an empty old file still gets a valid block.
    quint8* const data = kept->old.get(oldSize + 1);
    const qint64 got = data ? readFully(old, data, oldSize) : 0;
    QCryptographicHash md5(QCryptographicHash::Md5);
    md5.addData(reinterpret_cast<const char*>(data), int(got));
    const QByteArray sourceMd5 = data ? md5.result().toHex() : QByteArray();
    if (sourceMd5 != expected.source) {
        printFailure("patch failed src md5  err %s -> %s \n", sourceMd5, expected.source);
        return -1;
    }

    QFile out;
    if (!createBeside(out, expected.destPath))
        return -1;
    md5.reset();
    qint64 total = 0;
    auto writeOutput = [&](xd3_stream* stream) -> qint64 {
        const char* bytes = reinterpret_cast<const char*>(stream->next_out);
        const qint64 count = stream->avail_out;
        if (out.error() != QFileDevice::NoError || out.write(bytes, count) != count)
            return 0;
        total += count;
        if (onProgress)
            onProgress(total);
        md5.addData(bytes, int(count));
        return count;
    };
    // What was hashed is what is decoded from, even if the file changed since.
    driveStream(false, fileInput(patch), memorySource(data, got, LargeBlockSize), writeOutput,
                MaxSourceWindow, LargeBlockSize, got, kept->input);
    const bool flushed = out.flush();
    out.close();
    return installOutput(out, flushed, md5.result().toHex(), expected.dest, expected.destPath);
}

int PatchApplier::applyLarge(QFile& patch, QFile& old, const Expected& expected,
                             const std::function<void(qint64)>& onProgress)
{
    // One handle serves the decoder's blocks, the other is hashed meanwhile.
    QFile oldForHash(old.fileName());
    if (!oldForHash.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        printFailure("patch failed src md5  err %s -> %s \n", {}, expected.source);
        return -1;
    }
    const qint64 oldSize = old.size();
    SourceHash sourceMd5(kept->sourceWorker, oldForHash, oldSize, expected.source);
    auto sourceChecked = [&] {
        if (sourceMd5.result() == expected.source)
            return true;
        printFailure("patch failed src md5  err %s -> %s \n", sourceMd5.result(), expected.source);
        return false;
    };

    // Decoding starts before the old file's MD5 is known, so it goes to a
    // file of its own that replaces the output only once that MD5 matched:
    // a wrong old file leaves the output untouched. Unbuffered, so that a
    // failed write shows at once and is never hashed.
    QFile out;
    if (!createBeside(out, expected.destPath)) {
        sourceChecked();
        return -1;
    }
    OutputHash& outMd5 = kept->outputHash;
    outMd5.begin();
    qint64 total = 0;

    auto writeOutput = [&](xd3_stream* stream) -> qint64 {
        const char* data = reinterpret_cast<const char*>(stream->next_out);
        const qint64 count = stream->avail_out;
        // A wrong old file ends the decode early; its line comes below.
        if (sourceMd5.wrong() || out.error() != QFileDevice::NoError ||
            out.write(data, count) != count)
            return 0;
        total += count;
        if (onProgress)
            onProgress(total);
        outMd5.addData(data, count);
        return count;
    };

    // Only the destination check decides; a decoder failure shows there.
    FileSource& source = kept->source;
    source.use(old, oldSize);
    driveStream(
        false, fileInput(patch),
        [&source](xd3_stream* s, xd3_source* src) { return source(s, src); }, writeOutput,
        MaxSourceWindow, ReadBlockSize, oldSize, kept->input);

    const bool flushed = out.flush();
    out.close();
    const QByteArray destMd5 = outMd5.result();
    if (!sourceChecked()) {
        out.remove();
        return -1;
    }
    return installOutput(out, flushed, destMd5, expected.dest, expected.destPath);
}

int applyPatchFile(const QByteArray& sourcePath, const QByteArray& patchPath,
                   const QByteArray& destPath, std::function<void(qint64)> onProgress)
{
    PatchApplier applier;
    return applier.apply(sourcePath, patchPath, destPath, onProgress);
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

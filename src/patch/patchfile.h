#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

class QFile;

struct _xd3_stream;
struct _xd3_source;
typedef struct _xd3_stream xd3_stream;
typedef struct _xd3_source xd3_source;

// "PPAK" + 32 hex source MD5 + 32 hex destination MD5, then the VCDIFF delta.
constexpr int PatchHeaderSize = 68;

using ReadInputFn = std::function<qint64(xd3_stream*, quint8* buffer, qint64 capacity)>;
using SourceBlockFn = std::function<qint64(xd3_stream*, xd3_source*)>;
using WriteOutputFn = std::function<qint64(xd3_stream*)>;

// Old files up to this size are read whole and hashed on the calling thread:
// below it, handing the hashing to other threads costs more than it saves.
constexpr qint64 SmallPatchLimit = 256 * 1024;

// Applies patches one after another with the same buffers, threads and
// hashing queues; the patch thread keeps one for its whole run. Not for use
// by two threads at once.
class PatchApplier
{
public:
    PatchApplier();
    ~PatchApplier();

    // 0 on success, -1 on any failure. Paths in the local 8-bit encoding.
    // The output appears at destPath only once the old file's MD5 and its own
    // have matched. A large old file is read in blocks, never whole.
    int apply(const QByteArray& sourcePath, const QByteArray& patchPath, const QByteArray& destPath,
              const std::function<void(qint64)>& onProgress);

    qint64 smallFileLimit = SmallPatchLimit;

private:
    struct Kept;
    struct Expected {
        QByteArray source;
        QByteArray dest;
        QString destPath;
    };
    int applySmall(QFile& patch, QFile& old, const Expected& expected,
                   const std::function<void(qint64)>& onProgress);
    int applyLarge(QFile& patch, QFile& old, const Expected& expected,
                   const std::function<void(qint64)>& onProgress);

    std::unique_ptr<Kept> kept;
};

// One patch with an applier of its own.
int applyPatchFile(const QByteArray& sourcePath, const QByteArray& patchPath,
                   const QByteArray& destPath, std::function<void(qint64)> onProgress);

// Drives the xdelta3 stream; encode is used only by tools and tests.
// 0 when the input was consumed, -1 when the stream could not be set up or a
// write fell short, otherwise the xdelta3 code that stopped it.
int decodeDelta(bool encode, ReadInputFn readInput, SourceBlockFn getSourceBlock,
                WriteOutputFn writeOutput, qint64 maxWindow, qint64 blockSize, qint64 sourceSize);

// Writes a patch that turns oldPath into newPath (for tools and tests; the
// launcher itself never encodes). 0 on success, -1 on failure. The old file
// must not be empty.
int createPatchFile(const QByteArray& oldPath, const QByteArray& newPath,
                    const QByteArray& patchPath);

// Block size of the encoder's in-memory source: the whole file as one block
// up to 64 MiB. Decoding reads the old file from disk in small blocks instead.
qint64 sourceBlockSize(qint64 sourceSize);

QString md5OfFile(const QByteArray& path);
// The whole file in a new buffer (caller frees with delete[]), or null.
quint8* readWholeFile(const QByteArray& path, qint64& size);

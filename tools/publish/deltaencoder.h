#pragma once

#include <QIODevice>
#include <QList>
#include <QString>
#include <atomic>
#include <memory>

// The publisher's delta encoder: xdelta3's slow matcher over a source window
// that covers the old file, the new file cut into pieces that encode in
// parallel, and each delta re-encoded with every secondary compressor the
// launcher decodes, so that the smallest can be kept.
namespace publish
{

enum class Secondary { None, Djw, DjwOneGroup, Fgk };
QString secondaryName(Secondary s);

// xdelta3's target window: the new file is encoded this many bytes at a
// time, and the launcher's decoder holds one such window.
extern const qint64 TargetWindow;
// The new file is encoded in pieces of this many bytes, each a whole number
// of target windows, so that a piece's windows are the windows one stream
// would make. Fixed, so that the output never depends on the machine.
extern const qint64 PieceSize;
// The largest source window: xdelta3 indexes the source in a 32-bit table.
extern const qint64 MaxSourceWindow;

// The source window for an old file: its size rounded up to a power of two
// (one block holds it all), at most maxWindow.
qint64 sourceWindow(qint64 oldSize, qint64 maxWindow);
// Memory of the source index for that window: one 32-bit slot for every
// second byte.
qint64 indexMemory(qint64 window);
// Memory of one encoder besides its source index: the target window's hash,
// its input, its leftover buffer and its output.
extern const qint64 StreamMemory;

// The source's checksum index, which every piece of a file would build
// alike: built once, then read by all pieces at the same time. Only for a
// window that covers the old file, where xdelta3 indexes it whole at once.
class SourceIndex;
std::shared_ptr<const SourceIndex> buildSourceIndex(const uchar* oldData, qint64 oldSize,
                                                    qint64 window, QString* error);

// Encodes the new file's bytes [from, to) against the old file into a
// VCDIFF stream without secondary compression, with its header, into out.
// With an index the piece skips indexing the source. Each window's bytes
// are added to matched once encoded. False with a reason.
bool encodePiece(const uchar* oldData, qint64 oldSize, const QString& newPath, qint64 from,
                 qint64 to, qint64 window, const SourceIndex* index, QIODevice* out,
                 std::atomic<qint64>* matched, QString* error);

// Reads a VCDIFF stream from in and writes it again, window by window, with
// each compressor (or none) into its device; the matches stay as they are.
// With continuing set the outputs leave out the stream header: they follow
// an earlier piece's windows in one stream. severalWindows tells whether the
// stream may hold more than one window.
bool recode(QIODevice* in, const QList<QPair<Secondary, QIODevice*>>& outs, bool continuing,
            bool severalWindows, QString* error);

} // namespace publish

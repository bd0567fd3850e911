// The publisher's delta encoder: slow matching in pieces, and re-encoding of
// the result with each secondary compressor.
#include "deltaencoder.h"

#include <QBuffer>
#include <QFile>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include "xdelta3.h"
}

namespace publish
{

const qint64 PieceSize = 8 * 1024 * 1024;
const qint64 TargetWindow = XD3_DEFAULT_WINSIZE;
// 2 GiB: the slow matcher keeps one 32-bit slot for every second byte of the
// window, and xdelta3 sizes that table with a signed 32-bit shift.
const qint64 MaxSourceWindow = qint64(1) << 31;
const qint64 StreamMemory = 8 * TargetWindow;

namespace
{

constexpr qint64 RecodeChunk = 1024 * 1024;
// The window indicator bits of RFC 3284, which xdelta3 keeps to itself.
constexpr int VcdSource = 1 << 0;
constexpr int VcdTarget = 1 << 1;
constexpr int VcdAdler32 = 1 << 2;

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

QString xd3Failure(const xd3_stream& s, int code)
{
    return QStringLiteral("xdelta3: %1 (%2)")
        .arg(QString::fromLatin1(s.msg ? s.msg : xd3_strerror(code)))
        .arg(code);
}

// Section buffers that recode() hands to an encoder are freed by it, so
// both sides allocate the same way.
void* xd3Alloc(void*, size_t items, usize_t size)
{
    return std::malloc(size_t(items) * size);
}
void xd3Free(void*, void* p)
{
    std::free(p);
}

// Owns a configured stream and frees it on every path.
struct Stream {
    xd3_stream s;
    bool configured = false;
    Stream() { std::memset(&s, 0, sizeof s); }
    ~Stream()
    {
        if (configured) {
            xd3_close_stream(&s);
            xd3_free_stream(&s);
        }
    }
    int configure(xd3_config& config)
    {
        config.alloc = xd3Alloc;
        config.freef = xd3Free;
        configured = true;
        return xd3_config_stream(&s, &config);
    }
};

bool writeOutput(xd3_stream& s, QIODevice* out, QString* error)
{
    const qint64 n = qint64(s.avail_out);
    if (out->write(reinterpret_cast<const char*>(s.next_out), n) != n)
        return fail(error, QStringLiteral("cannot write the delta: %1").arg(out->errorString()));
    xd3_consume_output(&s);
    return true;
}

qint64 readFully(QIODevice& in, char* data, qint64 size)
{
    qint64 total = 0;
    while (total < size) {
        const qint64 n = in.read(data + total, size - total);
        if (n <= 0)
            break;
        total += n;
    }
    return total;
}

} // namespace

QString secondaryName(Secondary s)
{
    switch (s) {
    case Secondary::None:
        return QStringLiteral("none");
    case Secondary::Djw:
        return QStringLiteral("djw");
    case Secondary::DjwOneGroup:
        return QStringLiteral("djw1");
    case Secondary::Fgk:
        return QStringLiteral("fgk");
    }
    return QString();
}

qint64 sourceWindow(qint64 oldSize, qint64 maxWindow)
{
    qint64 window = XD3_ALLOCSIZE;
    while (window < oldSize && window < maxWindow)
        window *= 2;
    return window;
}

qint64 indexMemory(qint64 window)
{
    return 2 * window;
}

namespace
{

void setUpSource(xd3_source& source, const uchar* oldData, qint64 oldSize, qint64 window)
{
    std::memset(&source, 0, sizeof source);
    // One block holds the whole old file when the window covers it, as the
    // xdelta3 command arranges it; else the window in 32 blocks.
    const qint64 blockSize = oldSize <= window ? window : window / 32;
    source.blksize = usize_t(blockSize);
    source.max_winsize = xoff_t(window);
    source.ioh = const_cast<uchar*>(oldData);
}

void serveBlock(xd3_source& source, qint64 oldSize)
{
    const qint64 blockSize = qint64(source.blksize);
    const qint64 offset = qint64(source.getblkno) * blockSize;
    const qint64 count = offset < oldSize ? qMin(oldSize - offset, blockSize) : 0;
    source.curblk = static_cast<const uint8_t*>(source.ioh) + (count > 0 ? offset : 0);
    source.curblkno = source.getblkno;
    source.onblk = usize_t(count);
}

// A slow-matching encoder of the new file against the old one.
struct Encoder {
    Stream stream;
    xd3_source source;
    qint64 oldSize;
    // A shared index is only lent to the stream, which must not free it.
    bool borrowedIndex = false;

    ~Encoder()
    {
        if (borrowedIndex)
            stream.s.large_table = nullptr;
    }

    int setUp(const uchar* oldData, qint64 size, qint64 window, qint64 targetWindow)
    {
        oldSize = size;
        xd3_config config;
        std::memset(&config, 0, sizeof config);
        config.flags = XD3_ADLER32;
        config.smatch_cfg = XD3_SMATCH_SLOW;
        config.winsize = usize_t(targetWindow);
        if (int r = stream.configure(config))
            return r;
        setUpSource(source, oldData, oldSize, window);
        serveBlock(source, oldSize);
        return xd3_set_source_and_size(&stream.s, &source, xoff_t(oldSize));
    }

    // Feeds input; the last call flushes. Output goes to out.
    bool feed(const char* data, qint64 size, bool last, QIODevice* out, QString* error)
    {
        if (last)
            stream.s.flags |= XD3_FLUSH;
        xd3_avail_input(&stream.s, reinterpret_cast<const uint8_t*>(data), usize_t(size));
        for (;;) {
            const int r = xd3_encode_input(&stream.s);
            switch (r) {
            case XD3_INPUT:
                return true;
            case XD3_OUTPUT:
                if (!writeOutput(stream.s, out, error))
                    return false;
                break;
            case XD3_GETSRCBLK:
                serveBlock(source, oldSize);
                break;
            case XD3_GOTHEADER:
            case XD3_WINSTART:
            case XD3_WINFINISH:
                break;
            default:
                return fail(error, xd3Failure(stream.s, r));
            }
        }
    }
};

} // namespace

class SourceIndex
{
public:
    ~SourceIndex() { std::free(table); }
    usize_t* table = nullptr;
};

std::shared_ptr<const SourceIndex> buildSourceIndex(const uchar* oldData, qint64 oldSize,
                                                    qint64 window, QString* error)
{
    if (oldSize > window) {
        fail(error, QStringLiteral("the source window does not cover the old file"));
        return {};
    }
    // The first matching of any input indexes the whole source; a few bytes
    // of input are enough, and their output is dropped. They must differ from
    // the old file's first byte: a match found there at once would be taken
    // without looking at the source at all.
    Encoder encoder;
    if (int r = encoder.setUp(oldData, oldSize, window, XD3_ALLOCSIZE)) {
        fail(error, xd3Failure(encoder.stream.s, r));
        return {};
    }
    const QByteArray probe(64, char(oldSize > 0 ? ~oldData[0] : 0));
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    if (!encoder.feed(probe.constData(), probe.size(), true, &sink, error))
        return {};
    xd3_stream& s = encoder.stream.s;
    if (!s.large_table || s.srcwin_cksum_pos != xoff_t(oldSize)) {
        fail(error, QStringLiteral("the source was not indexed whole"));
        return {};
    }
    auto index = std::make_shared<SourceIndex>();
    index->table = s.large_table;
    s.large_table = nullptr;
    return index;
}

bool encodePiece(const uchar* oldData, qint64 oldSize, const QString& newPath, qint64 from,
                 qint64 to, qint64 window, const SourceIndex* index, QIODevice* out,
                 std::atomic<qint64>* matched, QString* error)
{
    QFile input(newPath);
    if (!input.open(QIODevice::ReadOnly) || !input.seek(from))
        return fail(error, QStringLiteral("%1: cannot be read").arg(newPath));
    // Small files get a small target window, as the xdelta3 command does.
    const qint64 targetWindow = qBound(qint64(XD3_ALLOCSIZE), to - from, TargetWindow);
    Encoder encoder;
    if (int r = encoder.setUp(oldData, oldSize, window, index ? TargetWindow : targetWindow))
        return fail(error, xd3Failure(encoder.stream.s, r));
    if (index) {
        // What the first matching would leave: the source indexed to its end.
        encoder.stream.s.large_table = index->table;
        encoder.stream.s.srcwin_cksum_pos = xoff_t(oldSize);
        encoder.borrowedIndex = true;
    }

    // Not zeroed: small files would pay for a whole window each.
    std::unique_ptr<char[]> buffer(new char[size_t(qMin(to - from, TargetWindow))]);
    qint64 left = to - from;
    for (bool last = false; !last;) {
        const qint64 want = qMin(left, TargetWindow);
        if (readFully(input, buffer.get(), want) != want)
            return fail(error, QStringLiteral("%1: cannot be read").arg(newPath));
        left -= want;
        last = left == 0;
        if (!encoder.feed(buffer.get(), want, last, out, error))
            return false;
        if (matched)
            *matched += want;
    }
    return true;
}

namespace
{

// One output of recode(): an encoder that is handed each decoded window's
// sections and emits them with its secondary compressor.
struct Recoder {
    Stream stream;
    xd3_source source;
    QIODevice* out = nullptr;

    int setUp(Secondary kind, bool continuing, bool severalWindows)
    {
        xd3_config config;
        std::memset(&config, 0, sizeof config);
        config.flags = kind == Secondary::Fgk    ? XD3_SEC_FGK
                       : kind == Secondary::None ? 0
                                                 : XD3_SEC_DJW;
        // As `xdelta3 -S djw` sets it; the library's default picks the
        // number of Huffman groups itself.
        if (kind == Secondary::DjwOneGroup)
            config.sec_data.ngroups = config.sec_inst.ngroups = config.sec_addr.ngroups = 1;
        // FGK's model adapts from window to window; a section it compressed
        // but then stored plain would leave the decoder's model behind, so
        // in a stream of several windows every section is stored compressed.
        if (kind == Secondary::Fgk && severalWindows)
            config.sec_data.inefficient = config.sec_inst.inefficient =
                config.sec_addr.inefficient = 1;
        std::memset(&source, 0, sizeof source);
        if (int r = stream.configure(config))
            return r;
        // The stream header is written with window 0 only.
        if (continuing)
            stream.s.current_window = 1;
        return xd3_encode_init_partial(&stream.s);
    }

    // The encoder's section gets a copy of the decoder's.
    static bool take(xd3_output* to, const xd3_desect& from)
    {
        if (to->avail < from.size) {
            std::free(to->base);
            to->base = static_cast<uint8_t*>(std::malloc(from.size));
            to->avail = to->base ? from.size : 0;
            if (!to->base)
                return false;
        }
        // An empty section has no buffer at all.
        if (from.size > 0)
            std::memcpy(to->base, from.buf_max - from.size, from.size);
        to->next = from.size;
        return true;
    }

    bool window(const xd3_stream& dec, QString* error)
    {
        xd3_stream& s = stream.s;
        // Sections 1 to 3 of the encoder are data, instructions, addresses.
        if (!take(s.enc_heads[1], dec.data_sect) || !take(s.enc_heads[2], dec.inst_sect) ||
            !take(s.enc_heads[3], dec.addr_sect))
            return fail(error, QStringLiteral("out of memory"));
        s.enc_state = ENC_FLUSH;
        s.avail_in = dec.dec_tgtlen;
        s.src = nullptr;
        if (dec.dec_win_ind & VcdSource) {
            source.srclen = dec.dec_cpylen;
            source.srcbase = dec.dec_cpyoff;
            s.src = &source;
        }
        s.flags &= ~XD3_ADLER32_RECODE;
        if (dec.dec_win_ind & VcdAdler32) {
            s.flags |= XD3_ADLER32_RECODE;
            s.recode_adler32 = dec.dec_adler32;
        }
        for (;;) {
            const int r = xd3_encode_input(&s);
            switch (r) {
            case XD3_INPUT:
                return true;
            case XD3_OUTPUT:
                if (!writeOutput(s, out, error))
                    return false;
                break;
            case XD3_GOTHEADER:
            case XD3_WINSTART:
            case XD3_WINFINISH:
                break;
            default:
                return fail(error, xd3Failure(s, r));
            }
        }
    }
};

} // namespace

bool recode(QIODevice* in, const QList<QPair<Secondary, QIODevice*>>& outs, bool continuing,
            bool severalWindows, QString* error)
{
    Stream decoder;
    xd3_config config;
    std::memset(&config, 0, sizeof config);
    // Only the sections are wanted: nothing is decoded against the source.
    config.flags = XD3_ADLER32_NOVER | XD3_SKIP_EMIT;
    if (int r = decoder.configure(config))
        return fail(error, xd3Failure(decoder.s, r));
    std::vector<std::unique_ptr<Recoder>> recoders;
    for (const auto& o : outs) {
        recoders.emplace_back(new Recoder);
        recoders.back()->out = o.second;
        if (int r = recoders.back()->setUp(o.first, continuing, severalWindows))
            return fail(error, xd3Failure(recoders.back()->stream.s, r));
    }

    xd3_stream& dec = decoder.s;
    std::unique_ptr<char[]> buffer(new char[size_t(RecodeChunk)]);
    for (;;) {
        const qint64 got = readFully(*in, buffer.get(), RecodeChunk);
        if (got <= 0)
            break;
        xd3_avail_input(&dec, reinterpret_cast<const uint8_t*>(buffer.get()), usize_t(got));
        for (bool more = true; more;) {
            const int r = xd3_decode_input(&dec);
            switch (r) {
            case XD3_INPUT:
                more = false;
                break;
            case XD3_OUTPUT:
                // A whole window's sections are read.
                if (dec.dec_win_ind & VcdTarget)
                    return fail(error, QStringLiteral("recode: target copy windows"));
                for (auto& rc : recoders) {
                    if (!rc->window(dec, error))
                        return false;
                }
                xd3_consume_output(&dec);
                break;
            case XD3_GOTHEADER:
            case XD3_WINSTART:
            case XD3_WINFINISH:
                break;
            default:
                return fail(error, xd3Failure(dec, r));
            }
        }
    }
    // The stream must end between two windows.
    if (dec.dec_state != DEC_WININD || dec.dec_window_count == 0)
        return fail(error, QStringLiteral("recode: the delta ends inside a window"));
    return true;
}

} // namespace publish

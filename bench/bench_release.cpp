// Makes two builds of a real-looking game release for the publisher's bench:
// large binaries rebuilt with a few functions changed, so that every address
// behind a change shifts, and many small text files, some of them edited.
//
//   bench_release CODE OLD_DIR NEW_DIR SEED [SCALE_PERCENT]
//
// CODE is any large file of real machine code (an installed shared library):
// its bytes are the old build's sections, so that the content has the byte
// statistics of compiled code. The new build is laid out again after its
// changes: relative calls and jumps, RIP-relative operands and 64-bit
// pointers that cross a change are rewritten as a linker would.
#include "rng.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

using Bytes = std::vector<quint8>;

bool save(const QString& path, const quint8* data, size_t size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size);
}

// One change of the new build: at old offset `at`, `removed` old bytes give
// way to `inserted` new ones.
struct Change {
    qint64 at;
    qint64 removed;
    Bytes inserted;
};

// Old offset -> new offset, for an offset outside every removed range.
struct Layout {
    std::vector<Change> changes; // sorted by offset, not overlapping

    qint64 map(qint64 old) const
    {
        qint64 shift = 0;
        // Changes are few; a binary search keeps the rewrite linear anyway.
        auto it = std::upper_bound(changes.begin(), changes.end(), old,
                                   [](qint64 v, const Change& c) { return v < c.at; });
        for (auto c = changes.begin(); c != it; ++c)
            shift += qint64(c->inserted.size()) - c->removed;
        return old + shift;
    }
};

qint32 load32(const quint8* p)
{
    qint32 v;
    std::memcpy(&v, p, 4);
    return v;
}

// A binary rebuilt: `functions` changed places, each grown, shrunk or edited
// by code taken from elsewhere in `code`, then every reference laid out anew.
Bytes rebuild(const Bytes& old, const Bytes& code, int functions, Rng& rng)
{
    const qint64 size = qint64(old.size());
    Layout layout;
    for (int i = 0; i < functions; ++i) {
        // Spread over the whole file, one change per slice.
        const qint64 slice = size / functions;
        Change c;
        c.at = i * slice + 4096 + rng.below(slice - 16384);
        const int kind = int(rng.below(3));
        c.removed = kind == 1 ? rng.between(16, 600) : rng.between(4, 64);
        const qint64 added = kind == 0   ? c.removed + rng.between(16, 1500)
                             : kind == 1 ? rng.between(0, c.removed / 2)
                                         : c.removed;
        const qint64 from = rng.below(qint64(code.size()) - added);
        c.inserted.assign(code.begin() + from, code.begin() + from + added);
        layout.changes.push_back(std::move(c));
    }
    // A new build stamp near the start, as every link writes one.
    layout.changes.insert(layout.changes.begin(), Change{512, 20, Bytes(20)});
    for (quint8& b : layout.changes.front().inserted)
        b = quint8(rng.next());

    Bytes out;
    out.reserve(size_t(size + 1024 * functions));
    qint64 pos = 0;
    for (const Change& c : layout.changes) {
        out.insert(out.end(), old.begin() + pos, old.begin() + c.at);
        out.insert(out.end(), c.inserted.begin(), c.inserted.end());
        pos = c.at + c.removed;
    }
    out.insert(out.end(), old.begin() + pos, old.end());

    // References found in unchanged code are rewritten where they cross a
    // change: rel32 calls and jumps (E8, E9), RIP-relative operands of common
    // moves and loads, and aligned 64-bit pointers into the image.
    size_t next = 0;
    qint64 shiftHere = 0;
    for (qint64 p = 0; p + 8 <= size;) {
        while (next < layout.changes.size() && layout.changes[next].at <= p) {
            const Change& c = layout.changes[next];
            if (p < c.at + c.removed)
                p = c.at + c.removed;
            shiftHere += qint64(c.inserted.size()) - c.removed;
            ++next;
        }
        if (p + 8 > size)
            break;
        const qint64 np = p + shiftHere;
        const quint8* q = old.data() + p;
        int operand = -1, length = 0;
        if (q[0] == 0xE8 || q[0] == 0xE9)
            operand = 1, length = 5;
        else if ((q[0] == 0x8B || q[0] == 0x8D || q[0] == 0x89) && (q[1] & 0xC7) == 0x05)
            operand = 2, length = 6;
        if (operand > 0) {
            const qint64 target = p + length + load32(q + operand);
            if (target >= 0 && target < size) {
                const qint64 rel = layout.map(target) - (np + length);
                const qint32 v = qint32(rel);
                std::memcpy(out.data() + np + operand, &v, 4);
                p += length;
                continue;
            }
        }
        if (p % 8 == 0) {
            quint64 v;
            std::memcpy(&v, q, 8);
            if (v >= 4096 && v < quint64(size)) {
                const quint64 moved = quint64(layout.map(qint64(v)));
                std::memcpy(out.data() + np, &moved, 8);
                p += 8;
                continue;
            }
        }
        ++p;
    }
    return out;
}

const char* const Syllables[] = {"ka", "ren", "to", "mi",  "sha", "dor", "vel", "an",   "qui",
                                 "lo", "zar", "ne", "ish", "tor", "ba",  "gul", "ethe", "ro"};

QByteArray word(Rng& rng)
{
    QByteArray w;
    for (qint64 n = rng.between(1, 3); n > 0; --n)
        w += Syllables[rng.below(sizeof Syllables / sizeof *Syllables)];
    return w;
}

// One line of a script, a setting or a text table, by the file's kind.
QByteArray line(int kind, Rng& rng)
{
    switch (kind) {
    case 0:
        return "    local " + word(rng) + "_" + word(rng) + " = " + word(rng) + ".get(\"" +
               word(rng) + "\", " + QByteArray::number(rng.below(1000)) + ")\n";
    case 1:
        return word(rng) + "." + word(rng) + " = " + QByteArray::number(rng.below(100000)) + "\n";
    default: {
        QByteArray text;
        for (qint64 n = rng.between(4, 14); n > 0; --n)
            text += word(rng) + ' ';
        return QByteArray::number(100000 + rng.below(900000)) + "\t\"" + text.trimmed() + "\"\n";
    }
    }
}

QList<QByteArray> textFile(int kind, Rng& rng)
{
    QList<QByteArray> lines;
    // Sizes from a few hundred bytes to about 40 KB, most of them small.
    const qint64 count = qint64(4 + (rng.below(64) * rng.below(64) * rng.below(64)) / 300);
    for (qint64 i = 0; i < count; ++i)
        lines.append(line(kind, rng));
    return lines;
}

// An edit as a designer makes one: a few lines changed, added or removed.
void edit(QList<QByteArray>& lines, int kind, Rng& rng)
{
    for (qint64 n = rng.between(1, 6); n > 0; --n) {
        const int at = int(rng.below(lines.size() + 1));
        switch (rng.below(3)) {
        case 0:
            if (at < lines.size())
                lines[at] = line(kind, rng);
            break;
        case 1:
            lines.insert(at, line(kind, rng));
            break;
        default:
            if (at < lines.size() && lines.size() > 1)
                lines.removeAt(at);
        }
    }
}

bool saveText(const QString& path, const QList<QByteArray>& lines)
{
    QByteArray all;
    for (const QByteArray& l : lines)
        all += l;
    return save(path, reinterpret_cast<const quint8*>(all.constData()), size_t(all.size()));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: bench_release CODE OLD_DIR NEW_DIR SEED [SCALE_PERCENT]\n");
        return 2;
    }
    QFile codeFile(QFile::decodeName(argv[1]));
    if (!codeFile.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray all = codeFile.readAll();
    const Bytes code(all.begin(), all.end());
    const QString oldDir = QFile::decodeName(argv[2]), newDir = QFile::decodeName(argv[3]);
    Rng rng{std::strtoull(argv[4], nullptr, 10) | 1};
    const qint64 scale = argc > 5 ? std::atoll(argv[5]) : 100;

    // The binaries: name, size in MiB at full scale, functions changed.
    struct Binary {
        const char* name;
        qint64 mib;
        int functions;
    };
    const Binary binaries[] = {{"bin/engine.dll", 72, 60},
                               {"bin/Drevna.exe", 14, 24},
                               {"bin/physics.dll", 6, 12},
                               {"bin/net.dll", 3, 8}};
    qint64 offset = 0;
    for (const Binary& b : binaries) {
        const qint64 size = b.mib * 1048576 * scale / 100;
        if (offset + size > qint64(code.size()))
            return 1;
        const Bytes old(code.begin() + offset, code.begin() + offset + size);
        offset += size;
        const Bytes rebuilt = rebuild(old, code, b.functions, rng);
        if (!save(oldDir + '/' + b.name, old.data(), old.size()) ||
            !save(newDir + '/' + b.name, rebuilt.data(), rebuilt.size()))
            return 1;
    }

    // Text files: scripts, settings and text tables; one in eight edited,
    // a few added and removed.
    const char* const kinds[] = {"scripts/%1/%2.lua", "config/%1/%2.ini", "text/%1/%2.txt"};
    const int files = int(1500 * scale / 100);
    for (int i = 0; i < files; ++i) {
        const int kind = i % 3;
        const QString rel =
            QString::fromLatin1(kinds[kind]).arg(i / 60).arg(i, 5, 10, QLatin1Char('0'));
        QList<QByteArray> lines = textFile(kind, rng);
        const qint64 fate = rng.below(100);
        if (fate != 0 && !saveText(oldDir + '/' + rel, lines))
            return 1;
        if (fate < 14 && fate > 1)
            edit(lines, kind, rng);
        if (fate != 1 && !saveText(newDir + '/' + rel, lines))
            return 1;
    }
    return 0;
}

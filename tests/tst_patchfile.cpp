#include "patch/patchfile.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

extern "C" {
#include "xdelta3.h"
}

namespace
{
// Deterministic incompressible bytes.
QByteArray noise(qint64 size, quint64 seed)
{
    QByteArray out(int(size), Qt::Uninitialized);
    quint64 x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (qint64 i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[int(i)] = char(x >> 24);
    }
    return out;
}

// Compressible text, so that secondary compression has something to do.
QByteArray words(int count, int seed)
{
    static const char* const vocabulary[] = {"river ",   "stone ",  "ember ", "north ", "guild ",
                                             "lantern ", "market ", "ash ",   "forge ", "tide "};
    QByteArray out;
    quint32 x = quint32(seed) * 2654435761u + 7;
    for (int i = 0; i < count; ++i) {
        x = x * 1664525u + 1013904223u;
        out += vocabulary[(x >> 16) % 10];
    }
    return out;
}

QByteArray local(const QString& path)
{
    return QFile::encodeName(path);
}

// Captures what is printed on standard output (file descriptor 1).
class StdoutCapture
{
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        saved = dup(1);
        file = std::tmpfile();
        dup2(fileno(file), 1);
    }
    QByteArray finish()
    {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        QByteArray text;
        std::rewind(file);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            text.append(buffer, int(n));
        std::fclose(file);
        return text;
    }

private:
    int saved = -1;
    FILE* file = nullptr;
};

// Patch made by the xdelta3 command with the given secondary compressor.
bool commandPatch(const QString& oldPath, const QString& newPath, const QString& patchPath,
                  const QString& secondary)
{
    const QString delta = patchPath + ".vcdiff";
    const int rc =
        QProcess::execute("xdelta3", {"-e", "-f", "-S", secondary, "-s", oldPath, newPath, delta});
    if (rc != 0)
        return false;
    const QByteArray header = "PPAK" + md5Bytes(readAll(oldPath)) + md5Bytes(readAll(newPath));
    return writeAll(patchPath, header + readAll(delta));
}

} // namespace

class TestPatchFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void appliesPatches_data();
    void appliesPatches();
    void fullInputChunk();
    void failures_data();
    void failures();
    void oldFileChanges_data();
    void oldFileChanges();
    void shortWriteStopsEncoding();
    void blockSizeBoundary_data();
    void blockSizeBoundary();

private:
    QTemporaryDir dir;
    QByteArray failureOld, failureNew, failurePatch;
    PatchApplier failureApplier;
    QString path(const QString& name) const { return dir.filePath(name); }
};

void TestPatchFile::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(!QStandardPaths::findExecutable("xdelta3").isEmpty(),
             "the xdelta3 command is missing: run scripts/setup");
}

void TestPatchFile::appliesPatches_data()
{
    QTest::addColumn<QString>("maker");
    QTest::addColumn<QByteArray>("oldData");
    QTest::addColumn<QByteArray>("newData");

    const QByteArray base = noise(300 * 1024, 1) + words(20000, 2);
    QByteArray edited = base;
    edited.replace(1000, 5000, words(3000, 3)); // changed
    edited.remove(200000, 777);                 // removed
    edited.insert(50, noise(4096, 4));          // inserted
    edited += base.left(10000);                 // copied from elsewhere
    // Larger than one 8 MiB window, so the output comes in several blocks.
    const QByteArray bigOld = noise(9 * 1024 * 1024, 5);
    QByteArray bigNew = bigOld;
    bigNew.replace(8 * 1024 * 1024 + 3, 100, words(40, 6));
    bigNew.prepend(words(1000, 7));

    for (const char* maker : {"encoder", "djw", "fgk"}) {
        QTest::addRow("%s edited", maker) << maker << base << edited;
        QTest::addRow("%s to empty", maker) << maker << base << QByteArray();
        QTest::addRow("%s unchanged", maker) << maker << base << base;
    }
    QTest::addRow("encoder several windows") << "encoder" << bigOld << bigNew;
    QTest::addRow("djw several windows") << "djw" << bigOld << bigNew;

    // The old file is read in 2 MiB blocks into a few buffers: copies that
    // jump between more blocks than are kept, cross block borders, or take
    // the old file's first and last bytes.
    const qint64 block = 2 * 1024 * 1024;
    const QByteArray manyBlocks = noise(10 * block + 12345, 17);
    QByteArray jumping;
    for (int k : {9, 0, 8, 1, 7, 2, 10, 3, 6, 4, 5, 0, 9})
        jumping += manyBlocks.mid(int(k * block + 1000), 300 * 1024);
    jumping += manyBlocks.mid(int(3 * block - 5000), 10000);
    QByteArray ends = manyBlocks;
    ends[0] = char(ends[0] ^ 1);
    ends[ends.size() - 1] = char(ends[ends.size() - 1] ^ 1);
    QTest::addRow("copies jumping across blocks") << "encoder" << manyBlocks << jumping;
    QTest::addRow("first and last byte edited") << "encoder" << manyBlocks << ends;
    QTest::addRow("only the last partial block")
        << "encoder" << manyBlocks << manyBlocks.right(12345);
}

void TestPatchFile::appliesPatches()
{
    QFETCH(QString, maker);
    QFETCH(QByteArray, oldData);
    QFETCH(QByteArray, newData);
    const QString oldPath = path("old"), newPath = path("new"), patchPath = path("patch");
    const QString outPath = path("out");
    QVERIFY(writeAll(oldPath, oldData));
    QVERIFY(writeAll(newPath, newData));

    if (maker == "encoder") {
        QCOMPARE(createPatchFile(local(oldPath), local(newPath), local(patchPath)), 0);
        // A peer decoder accepts what the publisher ships.
        const QByteArray patch = readAll(patchPath);
        QVERIFY(writeAll(path("delta"), patch.mid(PatchHeaderSize)));
        QCOMPARE(
            QProcess::execute("xdelta3", {"-d", "-f", "-s", oldPath, path("delta"), path("peer")}),
            0);
        QCOMPARE(readAll(path("peer")), newData);
    } else {
        QVERIFY(commandPatch(oldPath, newPath, patchPath, maker));
        // The delta names its secondary compressor: 1 is DJW, 16 is FGK.
        const QByteArray delta = readAll(patchPath).mid(PatchHeaderSize);
        QVERIFY(delta.size() > 5 && (delta[4] & 1));
        QCOMPARE(int(quint8(delta[5])), maker == "djw" ? 1 : 16);
    }

    QList<qint64> progress;
    StdoutCapture capture;
    const int r = applyPatchFile(local(oldPath), local(patchPath), local(outPath),
                                 [&](qint64 n) { progress << n; });
    QCOMPARE(capture.finish(), QByteArray());
    QCOMPARE(r, 0);
    QCOMPARE(readAll(outPath), newData);
    if (!newData.isEmpty()) {
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last(), qint64(newData.size()));
        QVERIFY(std::is_sorted(progress.begin(), progress.end()));
    }
    if (newData.size() > 8 * 1024 * 1024)
        QVERIFY(progress.size() > 1);
}

// A delta of exactly one input chunk: the second read returns nothing and
// decoding still completes.
void TestPatchFile::fullInputChunk()
{
    const qint64 chunk = 8 * 1024 * 1024;
    const QByteArray oldData = noise(64 * 1024, 8);
    const QString oldPath = path("old"), newPath = path("new"), patchPath = path("patch");
    QVERIFY(writeAll(oldPath, oldData));
    // Incompressible new content grows the delta byte for byte; a few rounds
    // of adjusting the tail hit the chunk size exactly.
    QByteArray newData = oldData + noise(chunk - 100 * 1024, 9);
    for (int round = 0; round < 8; ++round) {
        QVERIFY(writeAll(newPath, newData));
        QCOMPARE(createPatchFile(local(oldPath), local(newPath), local(patchPath)), 0);
        const qint64 deltaSize = QFileInfo(patchPath).size() - PatchHeaderSize;
        if (deltaSize == chunk)
            break;
        if (deltaSize < chunk)
            newData += noise(chunk - deltaSize, 10 + round);
        else
            newData.chop(int(deltaSize - chunk));
    }
    QCOMPARE(QFileInfo(patchPath).size() - PatchHeaderSize, chunk);

    StdoutCapture capture;
    const int r = applyPatchFile(local(oldPath), local(patchPath), local(path("out")), {});
    QCOMPARE(capture.finish(), QByteArray());
    QCOMPARE(r, 0);
    QCOMPARE(readAll(path("out")), newData);
}

void TestPatchFile::failures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("outputCreated");
    QTest::addColumn<bool>("small"); // the old file read whole, hashed before decoding

    QTest::newRow("magic in lower case") << "magic" << -1 << false << false;
    QTest::newRow("shorter than the header") << "short" << -1 << false << false;
    QTest::newRow("patch file missing") << "nopatch" << -1 << false << false;
    QTest::newRow("source MD5 in upper case") << "upper" << -1 << false << false;
    QTest::newRow("old file missing") << "noold" << -1 << false << false;
    QTest::newRow("old file different") << "otherold" << -1 << false << false;
    QTest::newRow("old file different, earlier output kept")
        << "otheroldkept" << -1 << true << false;
    QTest::newRow("delta cut short") << "truncated" << -1 << false << false;
    QTest::newRow("delta corrupt") << "corrupt" << -1 << false << false;
    QTest::newRow("empty old file") << "emptyold" << -1 << false << false;
    QTest::newRow("empty old file, empty result") << "emptyoldempty" << 0 << true << false;
    QTest::newRow("output folder missing") << "nooutdir" << -1 << false << false;
    QTest::newRow("small: old file different, earlier output kept")
        << "otheroldkept" << -1 << true << true;
    QTest::newRow("small: delta corrupt") << "corrupt" << -1 << false << true;
    QTest::newRow("small: delta cut short") << "truncated" << -1 << false << true;
    QTest::newRow("small: empty old file, empty result") << "emptyoldempty" << 0 << true << true;
}

void TestPatchFile::failures()
{
    QFETCH(QString, fault);
    QFETCH(int, result);
    QFETCH(bool, outputCreated);
    QFETCH(bool, small);

    const QString oldPath = path("old"), newPath = path("new"), patchPath = path("patch");
    QString outPath = path("out");
    QFile::remove(outPath);
    // Over one 8 MiB window, so a cut in the second window leaves output behind.
    // Encoded once for all rows.
    if (failureOld.isEmpty()) {
        failureOld = noise(12 * 1024 * 1024, 11);
        failureNew = failureOld;
        failureNew.replace(10 * 1024 * 1024, 4096, words(2000, 12));
        QVERIFY(writeAll(oldPath, failureOld));
        QVERIFY(writeAll(newPath, failureNew));
        QCOMPARE(createPatchFile(local(oldPath), local(newPath), local(patchPath)), 0);
        failurePatch = readAll(patchPath);
    }
    QByteArray oldData = failureOld;
    const QByteArray newData = failureNew;
    QByteArray patch = failurePatch;
    QVERIFY(writeAll(oldPath, oldData));
    const QByteArray oldMd5 = md5Bytes(oldData), newMd5 = md5Bytes(newData);
    QByteArray expectedLine;

    if (fault == "magic") {
        patch[3] = 'k';
        expectedLine = "patch failed magic err \n";
    } else if (fault == "short") {
        patch = patch.left(40);
        expectedLine = "patch failed magic err \n";
    } else if (fault == "nopatch") {
        QFile::remove(patchPath);
    } else if (fault == "upper") {
        patch.replace(4, 32, oldMd5.toUpper());
        expectedLine = "patch failed src md5  err " + oldMd5 + " -> " + oldMd5.toUpper() + " \n";
    } else if (fault == "noold") {
        QFile::remove(oldPath);
        expectedLine = "patch failed src md5  err  -> " + oldMd5 + " \n";
    } else if (fault == "otheroldkept") {
        QVERIFY(writeAll(outPath, "earlier"));
        oldData[0] = char(oldData[0] ^ 1);
        QVERIFY(writeAll(oldPath, oldData));
        expectedLine = "patch failed src md5  err " + md5Bytes(oldData) + " -> " + oldMd5 + " \n";
    } else if (fault == "otherold") {
        oldData[0] = char(oldData[0] ^ 1);
        QVERIFY(writeAll(oldPath, oldData));
        expectedLine = "patch failed src md5  err " + md5Bytes(oldData) + " -> " + oldMd5 + " \n";
    } else if (fault == "truncated") {
        patch.chop(40);
    } else if (fault == "corrupt") {
        for (int i = patch.size() - 200; i < patch.size() - 100; ++i)
            patch[i] = char(patch[i] ^ 0x5a);
    } else if (fault == "emptyold" || fault == "emptyoldempty") {
        QVERIFY(writeAll(oldPath, QByteArray()));
        const QByteArray empty = md5Bytes(QByteArray());
        patch.replace(4, 32, empty);
        if (fault == "emptyoldempty")
            patch.replace(36, 32, empty);
        else
            expectedLine = "patch failed dest md5  err " + empty + " -> " + newMd5 + " \n";
    } else if (fault == "nooutdir") {
        outPath = path("missing/out");
    }
    if (fault != "nopatch")
        QVERIFY(writeAll(patchPath, patch));

    // One applier for every row, as the patch thread keeps one: each row
    // also checks that what the rows before left behind is not reused.
    failureApplier.smallFileLimit = small ? qint64(1) << 30 : -1;
    StdoutCapture capture;
    const int r = failureApplier.apply(local(oldPath), local(patchPath), local(outPath), {});
    const QByteArray printed = capture.finish();
    QCOMPARE(r, result);
    QCOMPARE(QFileInfo::exists(outPath), outputCreated);
    // Nothing is left beside the output, whatever the outcome.
    QCOMPARE(QDir(dir.path()).entryList({"out.*"}), QStringList());
    if (fault == "otheroldkept")
        QCOMPARE(readAll(outPath), QByteArray("earlier"));

    // What was decoded is gone with the failure; the line names its MD5.
    if (fault == "truncated" || fault == "corrupt")
        expectedLine =
            "patch failed dest md5  err " + printed.mid(27, 32) + " -> " + newMd5 + " \n";
    QCOMPARE(printed, expectedLine);
}

void TestPatchFile::oldFileChanges_data()
{
    QTest::addColumn<qint64>("newSize"); // the old file's size after the first output
    QTest::addColumn<int>("result");
    QTest::newRow("grows: the bytes at the start count") << qint64(50 * 1024 * 1024) << 0;
    QTest::newRow("shrinks below the blocks still needed") << qint64(4 * 1024 * 1024) << -1;
    QTest::newRow("emptied") << qint64(0) << -1;
}

// The old file is read while the output is decoded: a change of its size
// then must end in a clean result, never in a hang, a crash or a success
// built from the wrong bytes.
void TestPatchFile::oldFileChanges()
{
    QFETCH(qint64, newSize);
    QFETCH(int, result);
    const QString oldPath = path("old"), newPath = path("new"), patchPath = path("patch");
    const QString outPath = path("out");
    QFile::remove(outPath);
    // Five 8 MiB output windows, each copying from its own part of the old
    // file, down to its last partial block.
    const QByteArray oldData = noise(40 * 1024 * 1024 + 12345, 18);
    QByteArray newData = oldData;
    newData.replace(100, 50, words(10, 19));
    newData.replace(oldData.size() - 100, 50, words(10, 20));
    QVERIFY(writeAll(oldPath, oldData));
    QVERIFY(writeAll(newPath, newData));
    QCOMPARE(createPatchFile(local(oldPath), local(newPath), local(patchPath)), 0);

    bool changed = false;
    StdoutCapture capture;
    const int r = applyPatchFile(local(oldPath), local(patchPath), local(outPath), [&](qint64) {
        if (!changed)
            changed = QFile::resize(oldPath, newSize);
    });
    const QByteArray printed = capture.finish();
    QVERIFY(changed);
    QCOMPARE(r, result);
    QCOMPARE(QDir(dir.path()).entryList({"out.*"}), QStringList());
    if (result == 0) {
        QCOMPARE(printed, QByteArray());
        QCOMPARE(readAll(outPath), newData);
        return;
    }
    // The MD5 of the old file may or may not have been taken before the
    // change; a wrong one leaves no output behind.
    const QByteArray tail =
        " -> " + md5Bytes(printed.startsWith("patch failed src") ? oldData : newData) + " \n";
    QVERIFY2(printed.endsWith(tail), printed.constData());
    // Either way nothing takes the output's name; the dest line names what
    // was decoded before the old file fell short.
    QVERIFY(!QFileInfo::exists(outPath));
}

// A write that stores less than the pending output stops the stream and is
// reported as a failure, not as a consumed input.
void TestPatchFile::shortWriteStopsEncoding()
{
    const QByteArray source = noise(4096, 13);
    const QByteArray input = words(1000, 14);
    qint64 offset = 0;
    auto read = [&](xd3_stream*, quint8* buffer, qint64 capacity) -> qint64 {
        const qint64 n = qMin(capacity, qint64(input.size()) - offset);
        memcpy(buffer, input.constData() + offset, size_t(n));
        offset += n;
        return n;
    };
    auto block = [&](xd3_stream*, xd3_source* s) -> qint64 {
        s->curblk = reinterpret_cast<const uint8_t*>(source.constData());
        s->curblkno = 0;
        s->onblk = usize_t(source.size());
        return source.size();
    };
    int writes = 0;
    auto refuse = [&](xd3_stream*) -> qint64 {
        ++writes;
        return 0;
    };
    QCOMPARE(decodeDelta(true, read, block, refuse, 1 << 26, 1 << 26, source.size()), -1);
    QCOMPARE(writes, 1);

    auto emptySource = [](xd3_stream*, xd3_source*) -> qint64 { return 0; };
    auto accept = [](xd3_stream* s) -> qint64 { return s->avail_out; };
    offset = 0;
    QCOMPARE(decodeDelta(true, read, emptySource, accept, 1 << 26, 1 << 26, 0), -1);
}

void TestPatchFile::blockSizeBoundary_data()
{
    QTest::addColumn<qint64>("oldSize");
    QTest::addColumn<qint64>("blockSize");
    QTest::newRow("64 MiB: one block") << qint64(67108864) << qint64(67108864);
    QTest::newRow("one byte more: 2 MiB blocks") << qint64(67108865) << qint64(2097152);
}

// The one large case: old files around the 64 MiB block size, with the new
// file copying from across the whole old one.
void TestPatchFile::blockSizeBoundary()
{
    QFETCH(qint64, oldSize);
    QFETCH(qint64, blockSize);
    QCOMPARE(sourceBlockSize(oldSize), blockSize);

    const QByteArray oldData = noise(oldSize, 15);
    const qint64 mib = 1024 * 1024;
    QByteArray newData = oldData.right(3 * mib) + words(5000, 16) +
                         oldData.mid(int(40 * mib), int(2 * mib)) + oldData.left(mib) +
                         oldData.right(1);
    const QString oldPath = path("bigold"), newPath = path("bignew"), patchPath = path("bigpatch");
    QVERIFY(writeAll(oldPath, oldData));
    QVERIFY(writeAll(newPath, newData));
    QCOMPARE(createPatchFile(local(oldPath), local(newPath), local(patchPath)), 0);
    // The copies made it into the delta instead of literal bytes.
    QVERIFY(QFileInfo(patchPath).size() < 1 * mib);

    StdoutCapture capture;
    const int r = applyPatchFile(local(oldPath), local(patchPath), local(path("bigout")), {});
    QCOMPARE(capture.finish(), QByteArray());
    QCOMPARE(r, 0);
    QCOMPARE(readAll(path("bigout")), newData);
    for (const char* name : {"bigold", "bignew", "bigpatch", "bigout"})
        QFile::remove(path(name));
}

QTEST_GUILESS_MAIN(TestPatchFile)
#include "tst_patchfile.moc"

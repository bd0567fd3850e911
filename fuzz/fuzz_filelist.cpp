// A step's patchfiles.json as the file-list handler takes it: the name
// check, the records, and the local paths that the download and the patch
// thread build from them.
#include "engineprobe.h"
#include "fuzzsupport.h"

#include "update/patchmanager.h"

#include <QJsonArray>
#include <QRegularExpression>

namespace
{

const QString PatchDir = QStringLiteral("/fuzz/Patch");
const QString GameDir = QStringLiteral("/fuzz/Drevna");
const QString StepPath = QStringLiteral("10002");
const QString Base = QStringLiteral("http://127.0.0.1:1/res");
constexpr int PatchSuffixLength = 6;

// What the helper hands out is a plain relative path that cannot leave the
// folder it is appended to, and is its own result.
void checkRelative(const QString& name)
{
    const QString path = safeRelativePath(name);
    if (path.isEmpty())
        return;
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    FUZZ_CHECK(!path.startsWith(QLatin1Char('/')) && !path.endsWith(QLatin1Char('/')));
    FUZZ_CHECK(!path.contains(QLatin1Char('\\')) && !path.contains(QChar(0)));
    FUZZ_CHECK(!drive.match(path).hasMatch());
    for (QString part : path.split(QLatin1Char('/'))) {
        // Windows drops trailing dots and blanks: what is left must be a name.
        while (part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' ')))
            part.chop(1);
        FUZZ_CHECK(!part.isEmpty());
    }
    FUZZ_CHECK(safeRelativePath(path) == path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static PatchManager manager;
    const QJsonObject list = parseJsonObject(QString::fromUtf8(fuzzBytes(data, size)));
    const QJsonArray entries = list.value(QLatin1String("filelist")).toArray();
    for (const QJsonValue& v : entries) {
        const QString name = v.toObject().value(QLatin1String("name")).toString();
        checkRelative(name);
        checkRelative(name.left(name.size() - PatchSuffixLength));
    }
    if (list.isEmpty() || !fileListIsSafe(list))
        return 0;

    probe(manager).chain = PatchChain{PatchStep{10001, 10002, StepPath, {}}};
    probe(manager).chainIndex = 0;
    probe(manager).downloads.clear();
    probe(manager).allTotal = 0;
    manager.addPatchFiles(list, Base, StepPath);

    FUZZ_CHECK(probe(manager).downloads.size() == entries.size());
    FUZZ_CHECK(probe(manager).chain.first().files == probe(manager).downloads);
    qint64 total = 0;
    for (const DownloadFileInfo& f : probe(manager).downloads) {
        FUZZ_CHECK(f.path == StepPath && f.parentUrl == Base && !f.hadPatch);
        total += f.size;
        // The download's file stays in its step's folder.
        const QString local = localPatchFilePath(PatchDir, f);
        FUZZ_CHECK(fuzzInside(local, PatchDir + QLatin1Char('/') + StepPath));
        // The patch thread reads that very file, or refuses the entry; the
        // game file it changes stays in the game folder and is the one that
        // localversion.json records.
        QString patchFile, target;
        if (!patchThreadPaths(PatchDir, GameDir, StepPath, f, patchFile, target))
            continue;
        FUZZ_CHECK(patchFile == local);
        FUZZ_CHECK(fuzzInside(target, GameDir));
        FUZZ_CHECK(target == GameDir + QLatin1Char('/') + safeRelativePath(localFileKey(f.name)));
    }
    FUZZ_CHECK(probe(manager).allTotal == total);
    return 0;
}

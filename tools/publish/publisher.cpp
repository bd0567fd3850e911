#include "publisher.h"

#include "patch/patchfile.h"
#include "patchjobs.h"
#include "services/contentsignature.h"
#include "services/keysdocument.h"
#include "update/patchchain.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sodium.h>
#include <thread>
#include <unistd.h>

namespace publish
{

const char* const FileSuffix = ".patch";

namespace
{

struct FileInfo {
    QString path; // absolute path on disk
    qint64 size = 0;
    QString md5;
};

using FileMap = QMap<QString, FileInfo>; // relative path with "/" -> file

QString md5Hex(const QString& path)
{
    return md5OfFile(QFile::encodeName(path));
}

bool setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

// Regular files below dir, by relative path. Symbolic links and special
// files are refused: the content must be exactly what the folder holds.
bool scanVersion(const QString& dir, FileMap* files, QString* error)
{
    // Absolute, so that a relative versions folder never leaks into the names.
    const QDir root(QFileInfo(dir).absoluteFilePath());
    QMap<QString, QString> folded; // lower-cased path -> first spelling
    QDirIterator it(root.path(),
                    QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    QStringList paths;
    while (it.hasNext())
        paths.append(it.next());
    std::sort(paths.begin(), paths.end());
    for (const QString& path : paths) {
        const QFileInfo info(path);
        const QString rel = root.relativeFilePath(path);
        if (info.isSymLink())
            return setError(error,
                            QStringLiteral("%1: symbolic links are not published").arg(path));
        if (info.isDir())
            continue;
        if (!info.isFile())
            return setError(error, QStringLiteral("%1: not a regular file").arg(path));
        const QString reason = unsafeNameReason(rel);
        if (!reason.isEmpty())
            return setError(error, QStringLiteral("%1: unsafe name (%2)").arg(path, reason));
        const QString key = rel.toLower();
        if (folded.contains(key))
            return setError(
                error,
                QStringLiteral("%1 and %2 differ only in letter case").arg(folded.value(key), rel));
        folded.insert(key, rel);
        FileInfo fi;
        fi.path = info.absoluteFilePath();
        fi.size = info.size();
        fi.md5 = md5Hex(fi.path);
        if (fi.md5.isEmpty())
            return setError(error, QStringLiteral("%1: cannot be read").arg(path));
        files->insert(rel, fi);
    }
    return true;
}

QString entryName(const QString& rel)
{
    QString name = rel + QLatin1String(FileSuffix);
    name.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return name;
}

QJsonObject entry(const QString& name, qint64 size, const QString& md5, const QString& type,
                  const QString& srcMd5, const QString& destMd5)
{
    QJsonObject o;
    o.insert(QStringLiteral("name"), name);
    o.insert(QStringLiteral("size"), double(size));
    o.insert(QStringLiteral("md5"), md5);
    o.insert(QStringLiteral("type"), type);
    o.insert(QStringLiteral("srcmd5"), srcMd5);
    o.insert(QStringLiteral("destmd5"), destMd5);
    return o;
}

bool writeBytes(const QString& path, const QByteArray& bytes, QString* error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        return setError(error, QStringLiteral("%1: cannot be written").arg(path));
    return true;
}

bool writeJson(const QString& path, const QJsonObject& object, QString* error)
{
    return writeBytes(path, QJsonDocument(object).toJson(QJsonDocument::Indented), error);
}

// A document the launcher reads as name below root, with its envelope when a
// key is given.
bool writeDocument(const QString& root, const QString& name, const QJsonObject& object,
                   const Options& options, qint64 sequence, QString* error)
{
    const QString path = root + QLatin1Char('/') + name;
    return writeJson(path, object, error) &&
           (options.signingKeys.isEmpty() ||
            signFile(path, root, options.signingKeys, sequence, options.expires, error));
}

bool copyFile(const QString& from, const QString& to, QString* error)
{
    QDir().mkpath(QFileInfo(to).absolutePath());
    QFile::remove(to);
    if (!QFile::copy(from, to))
        return setError(error, QStringLiteral("cannot copy %1 to %2").arg(from, to));
    // Copies keep the source's permissions; the content is data, not programs.
    QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                  QFile::ReadOther);
    return true;
}

// Member names sort by their numbers, so that where two steps lead to the
// same version the step from the nearest older version comes last and is the
// one the launcher keeps.
QString memberName(int preVersion, int version)
{
    return QStringLiteral("p%1_%2")
        .arg(preVersion, 10, 10, QLatin1Char('0'))
        .arg(version, 10, 10, QLatin1Char('0'));
}

QString stepPath(int preVersion, int version)
{
    return QStringLiteral("%1_%2").arg(preVersion).arg(version);
}

QJsonObject stepObject(int preVersion, int version, const QString& path)
{
    QJsonObject o;
    o.insert(QStringLiteral("version"), version);
    o.insert(QStringLiteral("preversion"), preVersion);
    o.insert(QStringLiteral("path"), path);
    return o;
}

struct Writer {
    QString outDir;
    Options options;
    QStringList* log;
    qint64 sequence;

    void note(const QString& line) const
    {
        if (log)
            log->append(line);
    }

    // What one step publishes, decided before any patch is made.
    struct Planned {
        QString rel;
        FileInfo of, nf;
        bool inOld = false;
        bool deleted = false;
        int request = -1; // the patch asked for, or none
    };
    struct StepPlan {
        QString path;
        int preVersion = 0, version = 0;
        QList<Planned> files;
        QJsonArray fullList;
    };

    QString stepFile(const QString& path, const QString& rel) const
    {
        return outDir + QLatin1Char('/') + path + QLatin1Char('/') + rel +
               QLatin1String(FileSuffix);
    }

    // One patch step and its "_full" twin; the patches wanted are added to
    // requests.
    void planStep(const FileMap& oldFiles, const FileMap& newFiles, int preVersion, int version,
                  StepPlan* plan, QList<PatchRequest>* requests) const
    {
        plan->path = stepPath(preVersion, version);
        plan->preVersion = preVersion;
        plan->version = version;
        QSet<QString> names;
        for (auto it = newFiles.constBegin(); it != newFiles.constEnd(); ++it)
            names.insert(it.key());
        for (auto it = oldFiles.constBegin(); it != oldFiles.constEnd(); ++it)
            names.insert(it.key());
        QStringList sorted = names.values();
        std::sort(sorted.begin(), sorted.end());

        for (const QString& rel : sorted) {
            Planned f;
            f.rel = rel;
            f.inOld = oldFiles.contains(rel);
            f.of = oldFiles.value(rel);
            f.nf = newFiles.value(rel);
            f.deleted = f.inOld && !newFiles.contains(rel);
            if (!f.deleted && f.inOld && f.of.md5 == f.nf.md5)
                continue;
            if (!f.deleted)
                plan->fullList.append(entry(entryName(rel), f.nf.size, f.nf.md5,
                                            QStringLiteral("add"), QString(), f.nf.md5));
            if (!f.deleted && f.inOld && f.of.size > 0) {
                QDir().mkpath(QFileInfo(stepFile(plan->path, rel)).absolutePath());
                f.request = requests->size();
                requests->append({f.of.path, f.nf.path, stepFile(plan->path, rel), f.of.md5,
                                  f.nf.md5, f.of.size, f.nf.size});
            }
            plan->files.append(f);
        }
    }

    // The whole new files of the "_full" twin, always there for the fallback.
    bool copyWhole(const StepPlan& plan, QString* error) const
    {
        for (const Planned& f : plan.files) {
            if (!f.deleted &&
                !copyFile(f.nf.path, stepFile(plan.path + QStringLiteral("_full"), f.rel), error))
                return false;
        }
        return true;
    }

    // The step's lists, once its patches are made.
    bool writeStep(const StepPlan& plan, const QList<PatchResult>& patches, StepSummary* summary,
                   QString* error) const
    {
        summary->path = plan.path;
        summary->preVersion = plan.preVersion;
        summary->version = plan.version;
        QJsonArray list;
        for (const Planned& f : plan.files) {
            const QString name = entryName(f.rel);
            if (f.deleted) {
                list.append(entry(name, 0, QString(), QStringLiteral("del"), f.of.md5, QString()));
                ++summary->dels;
                continue;
            }
            if (f.request >= 0 && !patches.at(f.request).whole) {
                const PatchResult& p = patches.at(f.request);
                list.append(entry(name, p.size, p.md5, QStringLiteral("diff"), f.of.md5, f.nf.md5));
                summary->bytes += p.size;
                ++summary->diffs;
                ++summary->compressors[secondaryName(p.secondary)];
                continue;
            }
            if (!copyFile(f.nf.path, stepFile(plan.path, f.rel), error))
                return false;
            const QString srcMd5 = f.inOld ? f.of.md5 : QString();
            list.append(entry(name, f.nf.size, f.nf.md5, QStringLiteral("add"), srcMd5, f.nf.md5));
            summary->bytes += f.nf.size;
            ++summary->adds;
        }
        QJsonObject doc;
        doc.insert(QStringLiteral("filelist"), list);
        if (!writeDocument(outDir, plan.path + QStringLiteral("/patchfiles.json"), doc, options,
                           sequence, error))
            return false;
        QJsonObject fullDoc;
        fullDoc.insert(QStringLiteral("filelist"), plan.fullList);
        if (!writeDocument(outDir, plan.path + QStringLiteral("_full/patchfiles.json"), fullDoc,
                           options, sequence, error))
            return false;
        note(QStringLiteral("step %1: %2 diff, %3 add, %4 del")
                 .arg(plan.path)
                 .arg(summary->diffs)
                 .arg(summary->adds)
                 .arg(summary->dels));
        return true;
    }

    // The full package: every file of the newest version, whole. Its folder
    // name holds "_full", so the launcher's fallback reads this same folder.
    bool writeFull(const FileMap& files, int version, StepSummary* summary, QString* error) const
    {
        const QString path = QStringLiteral("%1_full").arg(version);
        summary->path = path;
        summary->version = version;
        QJsonArray list;
        for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
            const QString diskName = it.key() + QLatin1String(FileSuffix);
            if (!copyFile(it.value().path,
                          outDir + QLatin1Char('/') + path + QLatin1Char('/') + diskName, error))
                return false;
            list.append(entry(entryName(it.key()), it.value().size, it.value().md5,
                              QStringLiteral("add"), QString(), it.value().md5));
            summary->bytes += it.value().size;
            ++summary->adds;
        }
        QJsonObject doc;
        doc.insert(QStringLiteral("filelist"), list);
        note(QStringLiteral("full package %1: %2 files").arg(path).arg(summary->adds));
        return writeDocument(outDir, path + QStringLiteral("/patchfiles.json"), doc, options,
                             sequence, error);
    }
};

// The launcher's own chain search for every version a player may have. Its
// log lines are not the publisher's.
QList<Download> playerDownloads(const QJsonObject& list, const Summary& s)
{
    QMap<QString, qint64> bytes; // step path -> listed bytes
    for (const StepSummary& st : s.steps)
        bytes.insert(st.path, st.bytes);
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QList<Download> downloads;
    for (int installed : s.versions + QList<int>{0}) {
        Download d;
        d.installed = installed;
        const ChainSearch found = searchPatchChain(list, installed, false, QString(), {});
        const bool isPackage = found.chain.size() == 1 && found.chain.first().preVersion == 0;
        qint64 sum = 0;
        for (const PatchStep& step : found.chain)
            sum += bytes.value(step.path);
        if (found.result == 0 && !found.chain.isEmpty() && !isPackage)
            d.byChain = sum;
        const ChainSearch package = searchPatchChain(list, installed, true, QString(), {});
        if (package.result == 0 && !package.chain.isEmpty())
            d.byPackage = bytes.value(package.chain.first().path);
        d.choice = found.result != 0       ? QStringLiteral("none: no way to the newest")
                   : found.chain.isEmpty() ? QStringLiteral("nothing")
                   : isPackage             ? QStringLiteral("full package")
                                           : QStringLiteral("chain");
        downloads.append(d);
    }
    qInstallMessageHandler(previous);
    return downloads;
}

qint64 treeSize(const QString& dir)
{
    qint64 total = 0;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

} // namespace

QString unsafeNameReason(const QString& relativePath)
{
    static const QSet<QString> reservedRoot = {QStringLiteral("localversion.json"),
                                               contentsig::recordFileName(),
                                               contentsig::trustedKeysFileName()};
    static const QRegularExpression device(
        QStringLiteral("^(con|prn|aux|nul|com[0-9]|lpt[0-9])(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    if (relativePath.isEmpty())
        return QStringLiteral("empty");
    if (relativePath.startsWith(QLatin1Char('/')))
        return QStringLiteral("absolute path");
    if (reservedRoot.contains(relativePath.toLower()))
        return QStringLiteral("the launcher's own file");
    for (const QChar c : relativePath) {
        const ushort u = c.unicode();
        // The launcher keeps names in Latin-1 files; only ASCII survives.
        if (u < 0x20 || u > 0x7e)
            return QStringLiteral("not printable ASCII");
        if (QStringLiteral("\\:*?\"<>|#%").contains(c))
            return QStringLiteral("character '%1'").arg(c);
    }
    const QStringList parts = relativePath.split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return QStringLiteral("empty or relative path component");
        if (part.endsWith(QLatin1Char(' ')) || part.endsWith(QLatin1Char('.')) ||
            part.startsWith(QLatin1Char(' ')))
            return QStringLiteral("leading or trailing blank or dot");
        if (device.match(part).hasMatch())
            return QStringLiteral("reserved device name");
        if (part.size() + int(qstrlen(FileSuffix)) > 255)
            return QStringLiteral("component too long");
    }
    return QString();
}

QList<int> findVersions(const QString& versionsDir, QString* error)
{
    QList<int> versions;
    const QDir dir(versionsDir);
    if (!dir.exists()) {
        setError(error, QStringLiteral("%1: no such folder").arg(versionsDir));
        return {};
    }
    static const QRegularExpression number(QStringLiteral("^[1-9][0-9]{0,9}$"));
    const QStringList entries =
        dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    for (const QString& e : entries) {
        bool ok = false;
        const qint64 v = e.toLongLong(&ok);
        if (!number.match(e).hasMatch() || !ok || v > 2147483647 ||
            !QFileInfo(dir.filePath(e)).isDir() || QFileInfo(dir.filePath(e)).isSymLink()) {
            setError(error,
                     QStringLiteral("%1: not a version folder (a positive integer name)").arg(e));
            return {};
        }
        versions.append(int(v));
    }
    std::sort(versions.begin(), versions.end());
    if (versions.isEmpty())
        setError(error, QStringLiteral("%1: no version folders").arg(versionsDir));
    return versions;
}

bool publish(const QString& versionsDir, const QString& outDir, const Options& options,
             Summary* summary, QString* error, QStringList* log)
{
    Summary local;
    Summary& s = summary ? *summary : local;
    s = Summary();
    s.versions = findVersions(versionsDir, error);
    if (s.versions.isEmpty())
        return false;
    const QString out = QFileInfo(outDir).absoluteFilePath();
    const QString source = QFileInfo(versionsDir).absoluteFilePath();
    if (out == source || out.startsWith(source + QLatin1Char('/')))
        return setError(error, QStringLiteral("the output folder must lie outside the versions"));

    QMap<int, FileMap> trees;
    for (int v : qAsConst(s.versions)) {
        FileMap files;
        if (!scanVersion(QDir(versionsDir).filePath(QString::number(v)), &files, error))
            return false;
        if (files.isEmpty())
            return setError(error, QStringLiteral("version %1 holds no files").arg(v));
        trees.insert(v, files);
    }

    // Build next to the target and swap it in at the end: a failed run leaves
    // the published content as it was.
    const QString staging = out + QStringLiteral(".new");
    QDir(staging).removeRecursively();
    if (!QDir().mkpath(staging))
        return setError(error, QStringLiteral("%1 cannot be created").arg(staging));
    // One sequence for the whole publication, above the one it replaces.
    Writer w{staging, options, log, nextSequence({out + QStringLiteral("/patchlist.json")})};

    // Every step is planned first, so that all patches are made at once.
    QList<Writer::StepPlan> plans;
    QList<PatchRequest> requests;
    const int newest = s.versions.last();
    for (int i = 1; i < s.versions.size(); ++i) {
        QList<int> from{s.versions.at(i - 1)};
        if (options.stepsFromOlder && s.versions.at(i) == newest)
            from = s.versions.mid(0, i);
        for (int pre : qAsConst(from)) {
            const int v = s.versions.at(i);
            plans.append(Writer::StepPlan());
            w.planStep(trees.value(pre), trees.value(v), pre, v, &plans.last(), &requests);
        }
    }
    PatchSettings settings;
    settings.fast = options.fast;
    settings.preferSmaller = options.preferSmaller;
    settings.memoryBound = options.memoryBound;
    settings.threads = options.threads;
    settings.progress = options.progress;
    // The patches are made on all cores while this thread copies the whole
    // files, which takes the disk more than a core.
    QList<PatchResult> patches;
    QString patchError;
    bool patched = false;
    std::thread patcher([&] { patched = makePatches(requests, settings, &patches, &patchError); });
    bool copied = true;
    for (const Writer::StepPlan& plan : qAsConst(plans))
        copied = copied && w.copyWhole(plan, error);
    StepSummary full;
    copied = copied && w.writeFull(trees.value(newest), newest, &full, error);
    patcher.join();
    if (!copied || !patched) {
        if (copied)
            setError(error, patchError);
        QDir(staging).removeRecursively();
        return false;
    }
    QJsonObject steps;
    for (const Writer::StepPlan& plan : qAsConst(plans)) {
        StepSummary step;
        if (!w.writeStep(plan, patches, &step, error)) {
            QDir(staging).removeRecursively();
            return false;
        }
        steps.insert(memberName(plan.preVersion, plan.version),
                     stepObject(plan.preVersion, plan.version, step.path));
        s.steps.append(step);
    }
    s.steps.append(full);
    QJsonObject list;
    list.insert(QStringLiteral("patchversion"), steps);
    list.insert(QStringLiteral("fullversion"), stepObject(0, newest, full.path));
    if (!writeDocument(staging, QStringLiteral("patchlist.json"), list, options, w.sequence,
                       error)) {
        QDir(staging).removeRecursively();
        return false;
    }

    s.downloads = playerDownloads(list, s);

    const QString previous = out + QStringLiteral(".old");
    QDir(previous).removeRecursively();
    if (QFileInfo::exists(out) && !QDir().rename(out, previous))
        return setError(error, QStringLiteral("%1 cannot be replaced").arg(out));
    if (!QDir().rename(staging, out))
        return setError(error, QStringLiteral("%1 cannot be created").arg(out));
    QDir(previous).removeRecursively();
    s.totalBytes = treeSize(out);
    return true;
}

QString formatSummary(const Summary& summary)
{
    QStringList lines;
    QStringList versions;
    for (int v : summary.versions)
        versions.append(QString::number(v));
    lines.append(QStringLiteral("versions: %1").arg(versions.join(QLatin1Char(' '))));
    for (const StepSummary& st : summary.steps) {
        QStringList made;
        for (auto it = st.compressors.constBegin(); it != st.compressors.constEnd(); ++it)
            made.append(QStringLiteral("%1 %2").arg(it.key()).arg(it.value()));
        lines.append(
            QStringLiteral("%1  %2 -> %3  diff %4  add %5  del %6  %7 bytes%8")
                .arg(st.path, -24)
                .arg(st.preVersion)
                .arg(st.version)
                .arg(st.diffs)
                .arg(st.adds)
                .arg(st.dels)
                .arg(st.bytes)
                .arg(made.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(made.join(", "))));
    }
    lines.append(QStringLiteral("total on disk: %1 bytes").arg(summary.totalBytes));
    if (!summary.downloads.isEmpty()) {
        auto number = [](qint64 n) { return n < 0 ? QStringLiteral("-") : QString::number(n); };
        lines.append(QStringLiteral("downloads to reach %1:").arg(summary.versions.last()));
        lines.append(QStringLiteral("  %1  %2  %3  %4")
                         .arg(QStringLiteral("installed"), -12)
                         .arg(QStringLiteral("by chain"), 14)
                         .arg(QStringLiteral("by package"), 14)
                         .arg(QStringLiteral("launcher takes")));
        for (const Download& d : summary.downloads) {
            const bool larger =
                d.choice == QLatin1String("chain") && d.byPackage >= 0 && d.byChain > d.byPackage;
            lines.append(
                QStringLiteral("  %1  %2  %3  %4%5")
                    .arg(d.installed ? QString::number(d.installed) : QStringLiteral("none/other"),
                         -12)
                    .arg(number(d.byChain), 14)
                    .arg(d.choice == QLatin1String("nothing") ? QStringLiteral("-")
                                                              : number(d.byPackage),
                         14)
                    .arg(d.choice,
                         larger ? QStringLiteral(" (larger than the package)") : QString()));
        }
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

bool generateKey(const QString& keyFile, QString* publicKeyHex, QString* error)
{
    if (sodium_init() < 0)
        return setError(error, QStringLiteral("libsodium cannot be initialised"));
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    unsigned char sk[crypto_sign_SECRETKEYBYTES];
    unsigned char seed[crypto_sign_SEEDBYTES];
    crypto_sign_keypair(pk, sk);
    crypto_sign_ed25519_sk_to_seed(seed, sk);
    QByteArray text = QByteArray(reinterpret_cast<const char*>(seed), sizeof seed).toHex() + '\n';
    sodium_memzero(sk, sizeof sk);
    sodium_memzero(seed, sizeof seed);

    // Never over an existing key: that one may be the only copy. Owner-only
    // from its creation, so that no other user can open it meanwhile.
    QFile f(keyFile);
    const int fd = ::open(QFile::encodeName(keyFile).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && f.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
    if (fd >= 0 && !ok)
        ::close(fd);
    ok = ok && f.write(text) == text.size() && f.flush();
    sodium_memzero(text.data(), size_t(text.size()));
    if (!ok) {
        const QString why = fd < 0 ? QString::fromLocal8Bit(strerror(errno)) : f.errorString();
        if (f.isOpen()) {
            f.close();
            QFile::remove(keyFile);
        }
        return setError(error, QStringLiteral("%1: cannot be created (%2)").arg(keyFile, why));
    }
    *publicKeyHex =
        QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(pk), sizeof pk).toHex());
    return true;
}

bool loadSigningKey(const QString& keyFile, QByteArray* secretKey, QString* error)
{
    if (sodium_init() < 0)
        return setError(error, QStringLiteral("libsodium cannot be initialised"));
    QFile f(keyFile);
    if (!f.open(QIODevice::ReadOnly))
        return setError(error, QStringLiteral("%1: cannot be read").arg(keyFile));
    QByteArray text = f.read(200).trimmed();
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
    const bool valid = hex.match(QString::fromLatin1(text)).hasMatch();
    QByteArray seed = QByteArray::fromHex(text);
    sodium_memzero(text.data(), size_t(text.size()));
    if (!valid)
        return setError(error, QStringLiteral("%1: not a signing key").arg(keyFile));
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    secretKey->resize(crypto_sign_SECRETKEYBYTES);
    crypto_sign_seed_keypair(pk, reinterpret_cast<unsigned char*>(secretKey->data()),
                             reinterpret_cast<const unsigned char*>(seed.constData()));
    sodium_memzero(seed.data(), size_t(seed.size()));
    return true;
}

QString publicKeyHex(const QByteArray& secretKey)
{
    // libsodium keeps the public key in the secret key's second half.
    return QString::fromLatin1(secretKey.mid(crypto_sign_SEEDBYTES).toHex());
}

QString documentKind(const QString& name)
{
    const QString file = QFileInfo(name).fileName();
    if (file == QLatin1String("patchlist.json"))
        return contentsig::kindName(contentsig::Kind::PatchList);
    if (file == QLatin1String("patchfiles.json"))
        return contentsig::kindName(contentsig::Kind::FileList);
    if (file == QLatin1String("version.txt"))
        return contentsig::kindName(contentsig::Kind::Version);
    if (file.startsWith(QLatin1String("updateconfig"), Qt::CaseInsensitive))
        return contentsig::kindName(contentsig::Kind::Config);
    return contentsig::kindName(contentsig::Kind::Setup);
}

qint64 expiryAfterDays(int days)
{
    return QDateTime::currentSecsSinceEpoch() + qint64(days) * 86400;
}

qint64 nextSequence(const QStringList& files)
{
    qint64 sequence = QDateTime::currentSecsSinceEpoch();
    for (const QString& path : files) {
        QFile f(path + QStringLiteral(".sig"));
        contentsig::Statement old;
        if (f.open(QIODevice::ReadOnly) &&
            contentsig::Statement::fromJson(
                contentsig::envelopeStatement(f.read(contentsig::MaxEnvelopeBytes)), &old))
            sequence = qMax(sequence, old.sequence + 1);
    }
    return sequence;
}

namespace
{

// The step lists below root by their names, as the patch list's snapshot
// names them.
bool snapshotOf(const QString& root, QMap<QString, contentsig::Listed>* lists, QString* error)
{
    const QStringList steps = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& step : steps) {
        const QString name = step + QStringLiteral("/patchfiles.json");
        QFile f(QDir(root).filePath(name));
        if (!f.exists())
            continue;
        QCryptographicHash sha256(QCryptographicHash::Sha256);
        if (!f.open(QIODevice::ReadOnly) || !sha256.addData(&f))
            return setError(error, QStringLiteral("%1: cannot be read").arg(f.fileName()));
        lists->insert(name, {f.size(), sha256.result()});
    }
    return true;
}

} // namespace

bool signFile(const QString& path, const QString& root, const QList<QByteArray>& secretKeys,
              qint64 sequence, qint64 expires, QString* error)
{
    for (const QByteArray& secretKey : secretKeys) {
        if (secretKey.size() != crypto_sign_SECRETKEYBYTES)
            return setError(error, QStringLiteral("no signing key"));
    }
    if (secretKeys.isEmpty())
        return setError(error, QStringLiteral("no signing key"));
    const QString name = QDir(root).relativeFilePath(QFileInfo(path).absoluteFilePath());
    if (name.startsWith(QLatin1String("../")) || QDir::isAbsolutePath(name))
        return setError(error, QStringLiteral("%1 lies outside %2").arg(path, root));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return setError(error, QStringLiteral("%1: cannot be read").arg(path));
    contentsig::Statement statement;
    statement.kind = documentKind(name);
    statement.name = name;
    statement.length = f.size();
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    if (!sha256.addData(&f))
        return setError(error, QStringLiteral("%1: cannot be read").arg(path));
    statement.sha256 = sha256.result();
    statement.sequence = sequence;
    statement.expires = expires;
    statement.hasLists = statement.kind == contentsig::kindName(contentsig::Kind::PatchList);
    if (statement.hasLists && !snapshotOf(root, &statement.lists, error))
        return false;
    const QByteArray envelope = contentsig::makeEnvelope(statement.toObject(), secretKeys);
    if (envelope.size() > contentsig::MaxEnvelopeBytes)
        return setError(error, QStringLiteral("%1: the envelope would pass %2 bytes")
                                   .arg(path)
                                   .arg(contentsig::MaxEnvelopeBytes));
    return writeBytes(path + QStringLiteral(".sig"), envelope, error);
}

bool resign(const QString& outDir, const QList<QByteArray>& secretKeys, qint64 expires,
            QString* error)
{
    QStringList documents;
    QDirIterator it(outDir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString file = it.fileName();
        if (file == QLatin1String("patchlist.json") || file == QLatin1String("patchfiles.json") ||
            (!file.endsWith(QLatin1String(".sig")) &&
             QFileInfo::exists(path + QStringLiteral(".sig"))))
            documents.append(path);
    }
    if (!QFileInfo::exists(outDir + QStringLiteral("/patchlist.json")))
        return setError(error, QStringLiteral("%1 holds no patchlist.json").arg(outDir));
    const qint64 sequence = nextSequence(documents);
    for (const QString& path : qAsConst(documents)) {
        if (!signFile(path, outDir, secretKeys, sequence, expires, error))
            return false;
    }
    return true;
}

} // namespace publish

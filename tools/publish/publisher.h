#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>

// Turns folders of complete game versions into the patch content that the
// launcher reads below its base address: patchlist.json, one folder per step
// with patchfiles.json and its files, a "_full" twin per step for the
// whole-file fallback, and the full package.
namespace publish
{

// Every entry name ends in this; the launcher strips the last six characters.
extern const char* const FileSuffix;

struct Options {
    // Also publish a direct step from every older version to the newest.
    bool stepsFromOlder = false;
    // Publish changed files whole when the patch would not be smaller.
    bool preferSmaller = true;
    // Today's quick encoder instead of the smallest patches.
    bool fast = false;
    // Working memory of the encoders together, in bytes; it also bounds
    // each file's source window, so the patches depend on it.
    qint64 memoryBound = 4096LL * 1024 * 1024;
    int threads = 0; // 0: one per core
    // A line every few seconds while the patches are made, from a thread of
    // its own.
    std::function<void(const QString&)> progress;
    // When set (see loadSigningKey), every document written is signed by
    // each of these keys; the first makes the envelope's leading signature.
    QList<QByteArray> signingKeys;
    // Seconds since 1970 after which the signatures expire; 0: never.
    qint64 expires = 0;
};

struct StepSummary {
    QString path;
    int preVersion = 0;
    int version = 0;
    int diffs = 0;
    int adds = 0;
    int dels = 0;
    qint64 bytes = 0; // sum of the listed sizes
    // Patches by the secondary compressor that made each smallest.
    QMap<QString, int> compressors;
};

// What a player with one version downloads to reach the newest.
struct Download {
    int installed = 0;     // 0: no game, or a version that no step leads from
    qint64 byChain = -1;   // -1: no chain of steps from it
    qint64 byPackage = -1; // -1: nothing to download
    QString choice;        // "chain", "full package" or "nothing"
};

struct Summary {
    QList<int> versions;
    QList<StepSummary> steps; // patch steps, then the full package
    qint64 totalBytes = 0;    // everything written below the output folder
    // Every published version, then 0; as the launcher's chain search finds it.
    QList<Download> downloads;
};

// Why a relative game file path (with "/" separators) cannot be published,
// or empty text when it can. Names must survive URLs, the launcher's JSON
// files and a Windows file system.
QString unsafeNameReason(const QString& relativePath);

// Lists the published versions in a folder: sub-folders named by a positive
// integer. Other entries are reported in error.
QList<int> findVersions(const QString& versionsDir, QString* error);

// Publishes versionsDir into outDir. outDir is replaced as a whole, so that
// nothing of an earlier run survives. Progress lines go to log (may be null).
bool publish(const QString& versionsDir, const QString& outDir, const Options& options,
             Summary* summary, QString* error, QStringList* log = nullptr);

QString formatSummary(const Summary& summary);

// Content signing keys. A key file holds the 32-byte Ed25519 seed as 64 hex
// characters and is readable by its owner only.

// Makes a new key in keyFile (which must not exist yet) and gives the public
// key as 64 lower-case hex characters.
bool generateKey(const QString& keyFile, QString* publicKeyHex, QString* error);
// Reads keyFile into the secret key that signFile takes.
bool loadSigningKey(const QString& keyFile, QByteArray* secretKey, QString* error);
QString publicKeyHex(const QByteArray& secretKey);
// The kind a document is fetched as, by its file name: "patchlist",
// "filelist", "version", "config", else "setup".
QString documentKind(const QString& name);
// Seconds since 1970, days from now.
qint64 expiryAfterDays(int days);
// The sequence of a new publication: the time, but above every sequence in
// the envelopes of files, which it replaces.
qint64 nextSequence(const QStringList& files);
// Writes path + ".sig": the envelope, signed by every one of secretKeys,
// that states path as the document named by its path below root, with its
// length, SHA-256, sequence and expiry. A patch list's also names every step
// list below root (root/STEP/patchfiles.json) by length and SHA-256: the
// snapshot, so sign a patch list after its step lists.
bool signFile(const QString& path, const QString& root, const QList<QByteArray>& secretKeys,
              qint64 sequence, qint64 expires, QString* error);
// Signs every document below outDir again, with one new sequence: the patch
// list, the file lists and every other file with an envelope beside it.
bool resign(const QString& outDir, const QList<QByteArray>& secretKeys, qint64 expires,
            QString* error);

} // namespace publish

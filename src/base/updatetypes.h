#pragma once

// The update's shared vocabulary, used by every layer: file entries, steps
// and chains, their names as safe local paths, and the JSON and file helpers.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <functional>

class QIODevice;

// Display text of an integer version: 10006 -> "100.0.6".
QString formatVersion(qint64 version);

// One file of one patch step.
struct DownloadFileInfo {
    QString name;
    QString type; // "diff", "add" or "del"
    qint64 size = 0;
    QString srcMd5;
    QString destMd5;
    QString md5;
    QString path;
    QString parentUrl;
    bool hadPatch = false;
};
Q_DECLARE_METATYPE(DownloadFileInfo)

bool operator==(const DownloadFileInfo& a, const DownloadFileInfo& b);

struct PatchStep {
    int preVersion = 0;
    int version = 0;
    QString path;
    QList<DownloadFileInfo> files;
};

bool operator==(const PatchStep& a, const PatchStep& b);

// A chain is newest step first.
using PatchChain = QList<PatchStep>;

// JSON text to object; empty on any error (logged as "decode ... error:N").
QJsonObject parseJsonObject(const QString& text);

// Writes bytes to path, creating missing folders. The file is replaced
// atomically, so a crash never leaves it truncated.
bool writeFile(const QString& path, const QByteArray& bytes);
// The same, with the content written by write; false from write discards it.
bool writeFileWith(const QString& path, const std::function<bool(QIODevice&)>& write);

// Removes what a write of path that was killed left beside it: the side file
// ("<name>.XXXXXX") that would have replaced it. The file itself is intact.
void removeInterruptedWrites(const QString& path);

// A file name from a server list or from patchchain.json, as a relative path
// with "/" separators. Empty when the name is unsafe: empty, absolute, with a
// drive letter, with a ".." component, with "#", "?", "%", ":" or a control
// character, with a component that ends in a dot or a blank or is a Windows
// device name ("CON", "aux.txt"), or when it names localversion.json or
// contentsequence.json at the root. "\\" counts as a separator.
QString safeRelativePath(const QString& name);

// Largest size a file list may give an entry, or all its entries together
// (1 PiB): progress totals add them up and must not overflow.
constexpr qint64 MaxListedSize = qint64(1) << 50;

// True when every entry of a file list ("filelist") can become local paths
// and its sizes are numbers from 0 to MaxListedSize that stay within it in
// sum; otherwise false, with the first refused name in *refused.
bool fileListIsSafe(const QJsonObject& list, QString* refused = nullptr);

// One entry of a "filelist" array (server keys: srcmd5, destmd5).
DownloadFileInfo fileInfoFromListEntry(const QJsonObject& entry, const QString& parentUrl,
                                       const QString& stepPath);

// True when every step path, file path and file name of the chain passes
// safeRelativePath, so local paths can be built from it.
bool chainNamesAreSafe(const PatchChain& chain);

// PATCH + "/" + f.path + "/" + f.name with "/" separators; empty when the
// path or the name is unsafe.
QString localPatchFilePath(const QString& patchDir, const DownloadFileInfo& f);

// The patch thread's two files for an entry of the step at stepPath: the
// downloaded patch below PATCH/STEP and the game file that it changes (the
// name without its six-character patch suffix). False, with both left
// empty, when a name is unsafe or names no game file.
bool patchThreadPaths(const QString& patchDir, const QString& gameDir, const QString& stepPath,
                      const DownloadFileInfo& f, QString& patchFile, QString& target);

// The "filelist" key of localversion.json for a file entry name: the name
// without its last six characters (the patch suffix), or whole when shorter.
QString localFileKey(const QString& name);

#pragma once

// The engine's two records on disk, localversion.json in the game folder and
// patchchain.json in the patch folder: their formats, their journals, and
// their loading and saving.

#include "base/updatetypes.h"

#include <QFile>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <functional>
#include <memory>

// An append-only journal beside a record: one compact JSON object a line,
// each flushed as it is written, so that recording one finished file costs
// the same however many came before. Folded into the record whole now and
// then; a line torn by a kill is skipped when read.
class RecordJournal
{
public:
    explicit RecordJournal(const QString& recordPath);
    QString path() const { return file.fileName(); }
    bool append(const QJsonObject& line);
    // Every complete line, oldest first.
    QList<QJsonObject> read();
    // After the record took the lines in.
    void remove();

private:
    QFile file;
};

// Applies journal lines {"name", "md5"} or {"name", "del": true} to the
// "filelist" of a localversion.json object, in one pass.
void applyFileLines(QJsonObject& record, const QList<QJsonObject>& lines);

// patchchain.json (keys preVersion, srcMd5, destMd5, hadPatch ...).
QByteArray patchChainToJson(const PatchChain& chain);
// Writes patchChainToJson's text as writeFile does, a file at a time: the
// whole document of a large chain takes several times its size in memory.
bool writePatchChain(const QString& path, const PatchChain& chain);
PatchChain patchChainFromJson(const QByteArray& json, bool* ok = nullptr);
PatchChain patchChainFromArray(const QJsonArray& array);

// The two records as the engine keeps them between loads and saves. A record
// or journal that cannot be written is reported to writeFailed with its path,
// on the thread that tried; the folders are the engine's own fields.
class LocalRecords
{
public:
    LocalRecords(const QString& patchDir, const QString& gameDir)
        : patchDir(patchDir), gameDir(gameDir)
    {
    }

    std::function<void(const QString& path)> writeFailed;

    // localversion.json as last loaded or saved; the files recorded since are
    // in its journal and taken in at the next save.
    QJsonObject localVersion;
    // Reads the record and takes in what a killed run left in its journal.
    void loadLocalVersion();
    bool saveLocalVersion();
    bool hasUnsavedFiles() const { return !versionLines.isEmpty(); }
    // One line in localversion.json's journal for a finished file.
    bool recordFileDone(const DownloadFileInfo& info);

    // patchchain.json with the files of its journal marked done; empty when
    // there is none or it cannot be used.
    PatchChain loadPatchChain();
    // Thread-safe, as the patch thread saves its copy of the chain.
    bool savePatchChain(const PatchChain& chain);
    // Thread-safe: one line in the chain's journal.
    bool recordPatchDone(int stepVersion, int fileIndex, const QString& name);

private:
    RecordJournal& journal(std::unique_ptr<RecordJournal>& slot, const QString& recordPath);
    void failed(const QString& path);

    const QString& patchDir;
    const QString& gameDir;
    QMutex chainFileMutex; // serialises writes of patchchain.json and its journal
    std::unique_ptr<RecordJournal> chainJournal;
    std::unique_ptr<RecordJournal> versionJournal;
    QList<QJsonObject> versionLines;
};

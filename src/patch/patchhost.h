#pragma once

#include "base/updatetypes.h"

#include <QJsonObject>
#include <QString>
#include <functional>

class PatchThread;

// What the patch thread needs from the engine that runs it. Every call is
// made on the patch thread; the host does its network work on its own.
class PatchHost
{
public:
    virtual ~PatchHost() = default;

    // The content base address that step folders are relative to.
    virtual QString contentBaseUrl() const = 0;
    // Stores the thread's copy of the chain whole, at the end of each step.
    virtual bool saveLocalPatchChain(const PatchChain& chain) = 0;
    // Records that file fileIndex (named name) of the step to stepVersion is
    // applied, at a cost that does not grow with the files done.
    virtual bool recordPatchDone(int stepVersion, int fileIndex, const QString& name) = 0;
    // Fetches a (signed) JSON document; onJson gets an empty object on any
    // failure and may run on another thread.
    virtual void fetchJson(const QString& url, std::function<void(QJsonObject)> onJson) = 0;
    // Downloads f into localPath, resuming a partial file; thread->fullReceived
    // counts the bytes. onDone(success, retry) runs exactly once.
    virtual void downloadFileResumable(PatchThread* thread, const QString& localPath,
                                       DownloadFileInfo f,
                                       std::function<void(bool, bool)> onDone) = 0;
};

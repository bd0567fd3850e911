#pragma once

// What the patch thread last reported of its run, and the status line that
// shows it while patches are applied.

#include "base/updatetypes.h"

#include <QMutex>

class PatchProgress
{
public:
    void started(const DownloadFileInfo& info, int num, int allNum);
    void progressed(float ratio);
    void done(int num, int allNum);
    // A whole file is fetched in place of a patch (active), or no longer.
    void fullFile(const DownloadFileInfo& info, bool active);

    // fullReceived: the bytes of the whole file in transfer so far.
    QString statusText(qint64 fullReceived) const;
    // The line while the run is paused, with the files applied of the step.
    QString pausedText() const;
    int index() const;
    int count() const;

private:
    mutable QMutex mutex; // the thread's reports against the tick's reads
    int patchIndex = 0;
    int patchCount = 0;
    int applied = 0;
    DownloadFileInfo currentPatch;
    DownloadFileInfo currentFullFile;
    float ratio = 0;
};

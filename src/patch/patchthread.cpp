#include "patch/patchthread.h"

// Stub: filled in by the patch application work.
PatchThread::PatchThread(const PatchChain& s, const QString& p, const QString& g, bool r,
                         PatchManager* m, QObject* parent)
    : QThread(parent), steps(s), patchDir(p), gameDir(g), resume(r), manager(m)
{
}
int PatchThread::applyStep(PatchStep&) { return 0; }
int PatchThread::downloadWholeFileFallback(const DownloadFileInfo&, const QString&, const QString&)
{
    return -1000;
}
bool PatchThread::downloadFullFile(const QString&, const DownloadFileInfo&) { return false; }
void PatchThread::run() { emit allDone(); }

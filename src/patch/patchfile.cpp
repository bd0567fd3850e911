#include "patch/patchfile.h"

// Stub: filled in by the patch application work.
int applyPatchFile(const QByteArray&, const QByteArray&, const QByteArray&,
                   std::function<void(qint64)>)
{
    return -1;
}
int decodeDelta(bool, ReadInputFn, SourceBlockFn, WriteOutputFn, qint64, qint64, qint64)
{
    return -1;
}
QString md5OfFile(const QByteArray&) { return QString(); }
quint8* readWholeFile(const QByteArray&, qint64&) { return nullptr; }

#include "update/patchprogress.h"

#include "transfer/progress.h"

#include <QMutexLocker>

void PatchProgress::started(const DownloadFileInfo& info, int num, int allNum)
{
    QMutexLocker lock(&mutex);
    currentPatch = info;
    patchIndex = num;
    patchCount = allNum;
    applied = num - 1;
    ratio = 0;
}

void PatchProgress::progressed(float r)
{
    QMutexLocker lock(&mutex);
    ratio = r;
}

void PatchProgress::done(int num, int allNum)
{
    QMutexLocker lock(&mutex);
    patchIndex = num;
    applied = num;
    patchCount = allNum;
}

void PatchProgress::fullFile(const DownloadFileInfo& info, bool active)
{
    QMutexLocker lock(&mutex);
    currentFullFile = active ? info : DownloadFileInfo();
}

QString PatchProgress::statusText(qint64 fullReceived) const
{
    QMutexLocker lock(&mutex);
    if (!currentFullFile.name.isEmpty())
        return QStringLiteral("%1 %2/%3...下载缺失文件")
            .arg(currentFullFile.name, sizeText(double(fullReceived)),
                 sizeText(double(currentFullFile.size)));
    return QStringLiteral("%1 %2...[%5%]补丁中 %3/%4")
        .arg(currentPatch.name, currentPatch.type, QString::number(patchIndex),
             QString::number(patchCount), QString::number(int(ratio * 100)));
}

QString PatchProgress::pausedText() const
{
    QMutexLocker lock(&mutex);
    return QStringLiteral("下载已暂停,已应用补丁 %1/%2").arg(applied).arg(patchCount);
}

int PatchProgress::index() const
{
    QMutexLocker lock(&mutex);
    return patchIndex;
}

int PatchProgress::count() const
{
    QMutexLocker lock(&mutex);
    return patchCount;
}

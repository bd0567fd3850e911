#pragma once

#include <QString>

// The part of the window's download display that the multi-file downloader
// draws on; the update engine's display extends it.
class DownloadDisplay
{
public:
    virtual ~DownloadDisplay() = default;

    virtual void setUpdateProgress(QString text, double ratio) = 0;
    virtual void showDownloadInfo(QString done, QString total, QString fileLine, QString fileSizes,
                                  QString speed, QString timeLeft) = 0;
};

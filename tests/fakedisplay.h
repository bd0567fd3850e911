#pragma once

#include "update/updatedisplay.h"

#include <QStringList>

// Records every call the update engine makes on the window.
class FakeDisplay : public UpdateDisplay
{
public:
    void showUpdateStatus(QString text) override { calls << "status:" + text; }
    void setUpdateProgress(QString text, double ratio) override
    {
        calls << QString("progress:%1:%2").arg(text).arg(ratio);
    }
    void showDownloadInfo(QString done, QString total, QString fileLine, QString fileSizes,
                          QString speed, QString timeLeft) override
    {
        calls << "download:" +
                     QStringList{done, total, fileLine, fileSizes, speed, timeLeft}.join('|');
    }
    void showVersionInfo(QString current, QString newest) override
    {
        calls << "version:" + current + "|" + newest;
    }
    void showUpdateFinished() override { calls << "finished"; }
    void killProcessByName(QString name) override { calls << "kill:" + name; }

    QStringList with(const QString& prefix) const
    {
        QStringList out;
        for (const QString& c : calls)
            if (c.startsWith(prefix))
                out << c.mid(prefix.size());
        return out;
    }

    QStringList calls;
};

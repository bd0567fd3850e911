// The window side of the bench programs: it does nothing, while the engine
// still builds every text it would show.
#pragma once

#include "update/updatedisplay.h"

class NullDisplay : public UpdateDisplay
{
public:
    void showUpdateStatus(QString) override {}
    void setUpdateProgress(QString, double) override {}
    void showDownloadInfo(QString, QString, QString, QString, QString, QString) override {}
    void showVersionInfo(QString, QString) override {}
    void showUpdateFinished() override {}
    void killProcessByName(QString) override {}
};

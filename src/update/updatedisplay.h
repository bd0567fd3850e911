#pragma once

#include "services/downloaddisplay.h"

#include <QString>

// What the update engine may do to the window. The engine only knows this
// interface, so it can be driven and tested without any widget.
class UpdateDisplay : public DownloadDisplay
{
public:
    virtual void showUpdateStatus(QString text) = 0;
    virtual void showVersionInfo(QString current, QString newest) = 0;
    virtual void showUpdateFinished() = 0;
    // Ends every running process with this executable name and waits for it.
    virtual void killProcessByName(QString name) = 0;
};

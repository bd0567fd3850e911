#pragma once

#include "app/mainwindow.h"

#include <QString>

// Fixed per program: each entry file defines both.
enum class FolderLayout {
    Launcher,     // game and patch folders beside the launcher
    InstalledApp, // game and patch folders under the working directory
};

extern const MainWindow::PlatformType buildChannel;

// The build's server addresses; defined with the channel table, so that a
// test build can carry other ones.
namespace channel
{
QString contentBaseA();
QString contentBaseB();
QString portalHost();
QString trackingHost();
} // namespace channel
extern const FolderLayout buildFolderLayout;

// The launcher's whole process entry, shared by both programs.
int launcherMain(int argc, char** argv);

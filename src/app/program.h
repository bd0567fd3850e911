#pragma once

#include "app/mainwindow.h"
#include "base/buildconfig.h"

// What each of the two programs fixes, and the process entry they share.
// Each entry file defines buildChannel and buildFolderLayout.

extern const MainWindow::PlatformType buildChannel;

// The launcher's whole process entry, shared by both programs.
int launcherMain(int argc, char** argv);

#pragma once

#include "app/mainwindow.h"

// Fixed per program: each entry file defines both.
enum class FolderLayout {
    Launcher,     // game and patch folders beside the launcher
    InstalledApp, // game and patch folders under the working directory
};

extern const MainWindow::PlatformType buildChannel;
extern const FolderLayout buildFolderLayout;

// The launcher's whole process entry, shared by both programs.
int launcherMain(int argc, char** argv);

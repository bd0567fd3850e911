#pragma once

#include <QString>

// The build's fixed configuration that every layer may read: the folder
// layout of the program and the server addresses it was built with.

enum class FolderLayout {
    Launcher,     // game and patch folders beside the launcher
    InstalledApp, // game and patch folders under the working directory
};

// Defined by each program's entry file.
extern const FolderLayout buildFolderLayout;

// The build's server addresses, so that a test build can carry other ones.
namespace channel
{
QString contentBaseA();
QString contentBaseB();
QString portalHost();
QString trackingHost();
} // namespace channel

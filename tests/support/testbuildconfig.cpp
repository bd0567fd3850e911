// The test programs stand in for the launcher program.
#include "app/program.h"
#include "services/contentsignature.h"
#include "services/keysdocument.h"

const MainWindow::PlatformType buildChannel = MainWindow::STM;
const FolderLayout buildFolderLayout = FolderLayout::Launcher;

// Signatures are off unless a suite sets its own keys.
const char* const buildContentKeys = "";
const char* const buildRootKeys = "";
const char* const buildRootThreshold = "";

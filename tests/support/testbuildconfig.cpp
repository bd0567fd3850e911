// The test programs stand in for the launcher program.
#include "app/buildconfig.h"

const MainWindow::PlatformType buildChannel = MainWindow::STM;
const FolderLayout buildFolderLayout = FolderLayout::Launcher;

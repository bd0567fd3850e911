#include "app/program.h"

const MainWindow::PlatformType buildChannel = MainWindow::STM_TAMSEL;
const FolderLayout buildFolderLayout = FolderLayout::InstalledApp;

int main(int argc, char** argv)
{
    return launcherMain(argc, argv);
}

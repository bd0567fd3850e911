#include "app/program.h"

const MainWindow::PlatformType buildChannel = MainWindow::STM;
const FolderLayout buildFolderLayout = FolderLayout::Launcher;

int main(int argc, char** argv)
{
    return launcherMain(argc, argv);
}

// Launcher self-update: judge the version file, fetch and start the setup program.
#include "app/mainwindow.h"

// Stub: filled in by the services work.
void MainWindow::processVersionFile() { dealover(); }
void MainWindow::downloadSetup(const QString&) { dealover(); }
void MainWindow::installSetup() { dealover(); }

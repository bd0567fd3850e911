// The news column fed from the portal's list interface.
#include "app/mainwindow.h"

// Stub: filled in by the services work.
void MainWindow::requestNews(const QString&) {}
void MainWindow::OnGetPageInfoFinished() {}

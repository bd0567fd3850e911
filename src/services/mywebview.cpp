#include "services/mywebview.h"

#include <QDesktopServices>

MyWebView::MyWebView(QWidget* parent) : QWebEngineView(parent) {}

void MyWebView::slot_LinkHovered(const QString& url)
{
    hoveredUrl = QUrl(url, QUrl::TolerantMode);
}

// The page gets no new view: what it wanted to open is the link the player
// pointed at, and that goes to the browser while this page stays put.
QWebEngineView* MyWebView::createWindow(QWebEnginePage::WebWindowType)
{
    QDesktopServices::openUrl(hoveredUrl);
    return nullptr;
}

#include "services/mywebview.h"

// Stub: filled in by the services work.
MyWebView::MyWebView(QWidget* parent) : QWebEngineView(parent) {}
void MyWebView::slot_LinkHovered(const QString& url) { hoveredUrl = QUrl(url, QUrl::TolerantMode); }
QWebEngineView* MyWebView::createWindow(QWebEnginePage::WebWindowType) { return nullptr; }

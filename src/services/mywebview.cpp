#include "services/mywebview.h"

#include <QDesktopServices>

bool isBrowserAddress(const QUrl& url)
{
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

MyWebView::MyWebView(QWidget* parent) : QWebEngineView(parent) {}

void MyWebView::slot_LinkHovered(const QString& url)
{
    hoveredUrl = QUrl(url, QUrl::TolerantMode);
}

// The page gets no new view: what it wanted to open is the link the player
// pointed at, and that goes to the browser while this page stays put. Any
// other kind of address is dropped without a word.
QWebEngineView* MyWebView::createWindow(QWebEnginePage::WebWindowType)
{
    if (isBrowserAddress(hoveredUrl))
        QDesktopServices::openUrl(hoveredUrl);
    return nullptr;
}

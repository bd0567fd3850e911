#pragma once

#include <QUrl>
#include <QWebEngineView>

// True for the only addresses the launcher hands to the system browser: http
// and https. Anything else (a local file, a network share) would be opened
// by whatever program the system picks, and on some systems run.
bool isBrowserAddress(const QUrl& url);

// The embedded page; links that ask for a new window open in the system browser.
class MyWebView : public QWebEngineView
{
    Q_OBJECT

public:
    explicit MyWebView(QWidget* parent = nullptr);

    // The link under the mouse as the page last reported it; empty off links.
    QUrl hoveredUrl;

public slots:
    void slot_LinkHovered(const QString& url);

protected:
    QWebEngineView* createWindow(QWebEnginePage::WebWindowType type) override;
};

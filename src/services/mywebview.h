#pragma once

#include <QUrl>
#include <QWebEngineView>

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

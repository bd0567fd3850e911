#pragma once

#include <QUrl>
#include <QWebEngineView>

// The embedded page; pages that ask for a new window get the system browser.
class MyWebView : public QWebEngineView
{
    Q_OBJECT

public:
    explicit MyWebView(QWidget* parent = nullptr);

    QUrl hoveredUrl;

public slots:
    void slot_LinkHovered(const QString& url);

protected:
    QWebEngineView* createWindow(QWebEnginePage::WebWindowType type) override;
};

#pragma once

// Stands in for the system browser (QDesktopServices::setUrlHandler with
// the slot "open"): records the addresses handed to it.

#include <QList>
#include <QObject>
#include <QUrl>

class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls << url; }
};

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One row of the news column.
struct NewsItem {
    QString title;
    QString updateTime;
    QString url;
};

// The items of tab page (0 to 3) in the portal's answer; false when the
// answer is no JSON object or holds no list for that tab.
bool decodeNewsAnswer(const QByteArray& body, int page, QList<NewsItem>& items);

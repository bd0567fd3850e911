#include "transfer/replyguard.h"

#include <QDebug>
#include <QNetworkReply>
#include <QTimer>

void guardReply(QNetworkReply* reply, int firstDataMs, int stallMs)
{
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, [reply] {
        if (reply->isFinished())
            return;
        qDebug() << "download timeout" << reply->url().toString();
        reply->abort();
    });
    // Direct, so that the clock is re-armed within the data's own emission,
    // whatever the reply's other handlers do meanwhile.
    QObject::connect(
        reply, &QNetworkReply::readyRead, timer,
        [reply, timer, stallMs] {
            if (!reply->isFinished())
                timer->start(stallMs);
        },
        Qt::DirectConnection);
    QObject::connect(reply, &QNetworkReply::finished, timer, &QTimer::stop, Qt::DirectConnection);
    timer->start(firstDataMs);
}

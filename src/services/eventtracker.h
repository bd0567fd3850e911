#pragma once

#include <QMutex>
#include <QString>

class QNetworkAccessManager;

// Process-wide, fire-and-forget client of the tracking endpoint.
class EventTracker
{
public:
    static EventTracker* instance();

    // Callable from any thread; the request is always sent from the GUI thread.
    void trackEvent(const QString& eventName, const QString& val1, const QString& val2);
    QString clientId();

    // The signed request address of one event (no network involved).
    QString buildUrl(const QString& eventName, const QString& val1, const QString& val2,
                     qint64 unixTime);

    QString url;
    int channel = 0;

private:
    EventTracker();
    void send(const QString& address);

    QString m_clientId;
    QMutex clientIdMutex;
    // Lives on the GUI thread; never deleted, replies may still be in flight
    // when the process ends.
    QNetworkAccessManager* manager = nullptr;
};

inline void trackEvent(const QString& eventName, const QString& val1 = QString(),
                       const QString& val2 = QString())
{
    EventTracker::instance()->trackEvent(eventName, val1, val2);
}

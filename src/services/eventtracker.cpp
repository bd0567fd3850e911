#include "services/eventtracker.h"

// Stub: filled in by the event tracking work.
EventTracker* EventTracker::instance()
{
    static EventTracker tracker;
    return &tracker;
}
EventTracker::EventTracker() {}
void EventTracker::trackEvent(const QString&, const QString&, const QString&) {}
QString EventTracker::clientId() { return m_clientId; }
QString EventTracker::buildUrl(const QString&, const QString&, const QString&, qint64)
{
    return url;
}

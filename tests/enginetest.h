#pragma once

// Helpers shared by the update engine suites.

#include "engineprobe.h"
#include "fakedisplay.h"
#include "logcollector.h"
#include "update/patchmanager.h"

#include <QJsonObject>
#include <QStringList>
#include <QThread>

// One step of patchlist.json.
inline QJsonObject stepJson(int pre, int version, const QString& path)
{
    return {{"preversion", pre}, {"version", version}, {"path", path}};
}

struct TrackedEvent {
    QString name, val1, val2;
    bool onGuiThread = true;
};

// Records the manager's tracking events.
inline void recordEvents(PatchManager& manager, QList<TrackedEvent>& events)
{
    QThread* gui = manager.thread();
    manager.eventHook = [&events, gui](const QString& n, const QString& a, const QString& b) {
        events.append({n, a, b, QThread::currentThread() == gui});
    };
}

inline QStringList eventNames(const QList<TrackedEvent>& events)
{
    QStringList names;
    for (const TrackedEvent& e : events)
        names << e.name;
    return names;
}

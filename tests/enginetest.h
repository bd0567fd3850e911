#pragma once

// Helpers shared by the update engine suites.

#include "fakedisplay.h"
#include "update/patchmanager.h"

#include <QMutex>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>

// Collects every log line while alive, passing it on to the previous handler.
class LogCollector
{
public:
    LogCollector()
    {
        instance = this;
        previous = qInstallMessageHandler(&LogCollector::handle);
    }
    ~LogCollector()
    {
        qInstallMessageHandler(previous);
        instance = nullptr;
    }
    QStringList matching(const QString& pattern) const
    {
        QMutexLocker lock(&mutex);
        return lines.filter(QRegularExpression(pattern));
    }
    // Index of the first line matching pattern, -1 when none.
    int indexOf(const QString& pattern) const
    {
        QMutexLocker lock(&mutex);
        return lines.indexOf(QRegularExpression(pattern));
    }
    // The states entered, from the "switch state A to B" lines.
    QList<int> states() const
    {
        QList<int> out;
        static const QRegularExpression re("^switch state -?\\d+ to (\\d+)$");
        for (const QString& line : matching("^switch state ")) {
            const auto m = re.match(line);
            if (m.hasMatch())
                out << m.captured(1).toInt();
        }
        return out;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& msg)
    {
        if (instance) {
            QMutexLocker lock(&instance->mutex);
            instance->lines << msg;
        }
        if (previous)
            previous(type, context, msg);
    }
    static inline LogCollector* instance = nullptr;
    static inline QtMessageHandler previous = nullptr;
    mutable QMutex mutex;
    QStringList lines;
};

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

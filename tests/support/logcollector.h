#pragma once

// Collects every log line while alive, passing it on to the previous handler
// (debug lines only when passDebug). Header-only: lines may come from any
// thread.

#include <QList>
#include <QMutex>
#include <QRegularExpression>
#include <QStringList>
#include <QtGlobal>

class LogCollector
{
public:
    explicit LogCollector(bool passDebug = true) : passDebug(passDebug)
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
    QStringList all() const
    {
        QMutexLocker lock(&mutex);
        return lines;
    }
    // Warnings and critical messages.
    QStringList warnings() const
    {
        QMutexLocker lock(&mutex);
        return warned;
    }
    void clear()
    {
        QMutexLocker lock(&mutex);
        lines.clear();
        warned.clear();
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
            if (type == QtWarningMsg || type == QtCriticalMsg)
                instance->warned << msg;
            if (type == QtDebugMsg && !instance->passDebug)
                return;
        }
        if (previous)
            previous(type, context, msg);
    }
    static inline LogCollector* instance = nullptr;
    static inline QtMessageHandler previous = nullptr;
    const bool passDebug;
    mutable QMutex mutex;
    QStringList lines, warned;
};

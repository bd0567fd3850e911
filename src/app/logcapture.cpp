#include "app/logcapture.h"

#include "base/platform.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QTextStream>

QString logFileName;
bool datedLogName = false;

namespace
{
// Lines of the GUI thread and the patch thread must never interleave.
QMutex logMutex;

QString kindPrefix(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QString();
    case QtWarningMsg:
        return QStringLiteral("Warning: ");
    case QtCriticalMsg:
        return QStringLiteral("Critical: ");
    case QtFatalMsg:
        return QStringLiteral("Fatal: ");
    default:
        return QString();
    }
}
} // namespace

void logMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& msg)
{
    const QString text = type == QtInfoMsg ? QString() : kindPrefix(type) + msg;
    const QDateTime now = QDateTime::currentDateTime();

    QMutexLocker lock(&logMutex);
    QString name = logFileName;
    if (datedLogName && name.contains(QLatin1Char('%')))
        name = name.arg(now.toString(QStringLiteral("yyyy_MM_dd")));
    if (!QFile::exists(name))
        QDir().mkpath(QFileInfo(name).path());
    QFile file(name);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        QTextStream out(&file);
        out << now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) << ": " << text << "\n";
        out.flush();
    }
    platform::debugOutput(text + QLatin1Char('\n'));
    file.close();
}

void installLogCapture()
{
    logFileName = QStringLiteral("log.txt");
    datedLogName = true;
    qInstallMessageHandler(logMessageHandler);
}

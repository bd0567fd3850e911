#pragma once

#include <QString>
#include <QtGlobal>

// Captures every Qt message into a time-stamped log file.
extern QString logFileName;
extern bool datedLogName;

void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg);
void installLogCapture();

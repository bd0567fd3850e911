#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Checks the tracking requests that the content stack logs: parameter order,
// encoding, fixed values and the MD5 signature of every report.
namespace trackcheck
{

extern const char* const Salt;

struct Report {
    int line = 0;
    QString name;
    QString clientId;
    QString val1;
    QString val2;
    QString problem; // empty when the report is sound
};

// The nine parameters in their order; "sign" follows them.
QStringList parameterOrder();

// The signature of nine raw values given in parameter order.
QString signatureOf(const QStringList& values);

// Checks one request line ("GET /trackevent?... HTTP/1.1").
Report checkRequestLine(const QString& requestLine);

// Checks every line of a log written by the stack; a line is the request
// line in double quotes, optionally after a time stamp.
QList<Report> checkLog(const QByteArray& text);

} // namespace trackcheck

#include "trackcheck.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

namespace trackcheck
{

const char* const Salt = "Qd72hTRwpLmxva";

QStringList parameterOrder()
{
    return {QStringLiteral("channel"), QStringLiteral("clientid"), QStringLiteral("name"),
            QStringLiteral("network"), QStringLiteral("platform"), QStringLiteral("time"),
            QStringLiteral("val1"),    QStringLiteral("val2"),     QStringLiteral("version")};
}

QString signatureOf(const QStringList& values)
{
    const QByteArray source = (values.join(QString()) + QLatin1String(Salt)).toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(source, QCryptographicHash::Md5).toHex());
}

Report checkRequestLine(const QString& requestLine)
{
    static const QSet<QString> events = {
        QStringLiteral("start_luncher"),        QStringLiteral("update_start"),
        QStringLiteral("update_slow_download"), QStringLiteral("update_patch_start"),
        QStringLiteral("update_patch_end"),     QStringLiteral("update_finish"),
        QStringLiteral("update_error"),         QStringLiteral("start_drevna"),
        QStringLiteral("update_pause"),         QStringLiteral("update_resume")};
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    Report r;
    const QStringList words = requestLine.split(QLatin1Char(' '));
    if (words.size() != 3 || words.at(0) != QLatin1String("GET")) {
        r.problem = QStringLiteral("not a GET request line");
        return r;
    }
    const QString target = words.at(1);
    const int q = target.indexOf(QLatin1Char('?'));
    if (q < 0 || target.left(q) != QLatin1String("/trackevent")) {
        r.problem = QStringLiteral("not a /trackevent request");
        return r;
    }
    QStringList keys = parameterOrder();
    keys.append(QStringLiteral("sign"));
    const QStringList pairs = target.mid(q + 1).split(QLatin1Char('&'));
    if (pairs.size() != keys.size()) {
        r.problem =
            QStringLiteral("%1 parameters instead of %2").arg(pairs.size()).arg(keys.size());
        return r;
    }
    QStringList values;
    for (int i = 0; i < pairs.size(); ++i) {
        const int eq = pairs.at(i).indexOf(QLatin1Char('='));
        const QString key = pairs.at(i).left(eq);
        if (eq < 0 || key != keys.at(i)) {
            r.problem = QStringLiteral("parameter %1 is \"%2\", expected \"%3\"")
                            .arg(i + 1)
                            .arg(key, keys.at(i));
            return r;
        }
        const QByteArray raw = pairs.at(i).mid(eq + 1).toLatin1();
        const QString value = QString::fromUtf8(QByteArray::fromPercentEncoding(raw));
        if (QUrl::toPercentEncoding(value) != raw) {
            r.problem = QStringLiteral("%1 is not encoded as expected: %2")
                            .arg(key, QString::fromLatin1(raw));
            return r;
        }
        values.append(value);
    }
    const QString sign = values.takeLast();
    r.clientId = values.at(1);
    r.name = values.at(2);
    r.val1 = values.at(6);
    r.val2 = values.at(7);
    if (!digits.match(values.at(0)).hasMatch())
        r.problem = QStringLiteral("channel is not a number");
    else if (r.clientId.isEmpty())
        r.problem = QStringLiteral("empty client id");
    else if (!events.contains(r.name))
        r.problem = QStringLiteral("unknown event name");
    else if (values.at(3) != QLatin1String("Ethernet"))
        r.problem = QStringLiteral("network is not Ethernet");
    else if (!digits.match(values.at(5)).hasMatch())
        r.problem = QStringLiteral("time is not a number");
    else if (values.at(8) != QLatin1String("QT_100"))
        r.problem = QStringLiteral("version is not QT_100");
    else if (sign != signatureOf(values))
        r.problem = QStringLiteral("bad signature %1, expected %2").arg(sign, signatureOf(values));
    return r;
}

QList<Report> checkLog(const QByteArray& text)
{
    QList<Report> reports;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromLatin1(lines.at(i)).trimmed();
        if (line.isEmpty())
            continue;
        const int open = line.indexOf(QLatin1Char('"'));
        const int close = line.lastIndexOf(QLatin1Char('"'));
        Report r = open >= 0 && close > open
                       ? checkRequestLine(line.mid(open + 1, close - open - 1))
                       : checkRequestLine(line);
        r.line = i + 1;
        reports.append(r);
    }
    return reports;
}

} // namespace trackcheck

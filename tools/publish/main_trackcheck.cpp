// drevna-trackcheck: verifies the tracking log written by the content stack.
#include "trackcheck.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = app.arguments().mid(1);
    QString path;
    QStringList expected;
    bool usage = false;
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--expect") && i + 1 < args.size())
            expected.append(args.at(++i).split(QLatin1Char(','), Qt::SkipEmptyParts));
        else if (!args.at(i).startsWith(QLatin1Char('-')) && path.isEmpty())
            path = args.at(i);
        else
            usage = true;
    }
    if (usage || path.isEmpty()) {
        err << "usage: drevna-trackcheck [--expect EVENT[,EVENT...]] TRACKING_LOG\n"
               "  checks parameter order, encoding and signature of every report;\n"
               "  --expect also requires these events to be present\n";
        return 2;
    }
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        err << "drevna-trackcheck: cannot read " << path << '\n';
        return 1;
    }
    const QList<trackcheck::Report> reports = trackcheck::checkLog(f.readAll());
    int bad = 0;
    QSet<QString> seen;
    for (const trackcheck::Report& r : reports) {
        if (r.problem.isEmpty()) {
            seen.insert(r.name);
            out << "ok   line " << r.line << "  " << r.name << "  val1=" << r.val1
                << "  val2=" << r.val2 << '\n';
        } else {
            ++bad;
            out << "BAD  line " << r.line << "  " << r.problem << '\n';
        }
    }
    int missing = 0;
    for (const QString& e : qAsConst(expected)) {
        if (!seen.contains(e)) {
            ++missing;
            out << "MISSING  " << e << '\n';
        }
    }
    out << reports.size() << " reports, " << bad << " bad, " << missing << " expected missing\n";
    return reports.isEmpty() || bad > 0 || missing > 0 ? 1 : 0;
}

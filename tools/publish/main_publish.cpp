// drevna-publish: turns folders of complete game versions into patch content.
#include "publisher.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList args = app.arguments().mid(1);
    publish::Options options;
    bool quiet = false;
    QStringList positional;
    for (const QString& a : qAsConst(args)) {
        if (a == QLatin1String("--steps-from-older"))
            options.stepsFromOlder = true;
        else if (a == QLatin1String("--always-diff"))
            options.preferSmaller = false;
        else if (a == QLatin1String("--quiet"))
            quiet = true;
        else if (a.startsWith(QLatin1String("-"))) {
            positional.clear();
            break;
        } else
            positional.append(a);
    }
    if (positional.size() != 2) {
        err << "usage: drevna-publish [--steps-from-older] [--always-diff] [--quiet] "
               "VERSIONS_DIR OUT_DIR\n"
               "  VERSIONS_DIR holds one folder per game version, named by its number\n"
               "  (10004/, 10005/, ...). OUT_DIR becomes the content below the base address.\n"
               "  --steps-from-older  also a direct step from every older version to the newest\n"
               "  --always-diff       changed files as patches even when not smaller\n";
        return 2;
    }
    publish::Summary summary;
    QString error;
    QStringList log;
    const bool ok = publish::publish(positional.at(0), positional.at(1), options, &summary, &error,
                                     quiet ? nullptr : &log);
    for (const QString& line : qAsConst(log))
        out << line << '\n';
    if (!ok) {
        err << "drevna-publish: " << error << '\n';
        return 1;
    }
    out << publish::formatSummary(summary);
    return 0;
}

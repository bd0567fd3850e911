// drevna-samplegame: writes three versions of a small fake game.
#include "samplegame.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList args = app.arguments().mid(1);
    sample::Options options;
    QString out;
    for (int i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--large-mb") && i + 1 < args.size())
            options.largeMb = args.at(++i).toInt();
        else if (!args.at(i).startsWith(QLatin1Char('-')) && out.isEmpty())
            out = args.at(i);
        else
            out.clear(), i = args.size();
    }
    if (out.isEmpty()) {
        err << "usage: drevna-samplegame [--large-mb N] OUT_DIR\n"
               "  writes OUT_DIR/10004, OUT_DIR/10005 and OUT_DIR/10006\n";
        return 2;
    }
    QString error;
    if (!sample::makeSampleGame(out, options, &error)) {
        err << "drevna-samplegame: " << error << '\n';
        return 1;
    }
    return 0;
}

// drevna-publish: turns folders of complete game versions into patch content,
// and makes and uses the keys that sign it.
#include "publisher.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>
#include <malloc.h>

namespace
{

int usage(QTextStream& err)
{
    err << "usage: drevna-publish [--steps-from-older] [--always-diff] [--fast] [--memory MIB] "
           "[--jobs N] [--quiet] [--sign KEYFILE [--expires DAYS]] VERSIONS_DIR OUT_DIR\n"
           "       drevna-publish keygen KEYFILE\n"
           "       drevna-publish sign KEYFILE [--expires DAYS] [--root DIR] FILE...\n"
           "       drevna-publish resign KEYFILE [--expires DAYS] OUT_DIR\n"
           "  VERSIONS_DIR holds one folder per game version, named by its number\n"
           "  (10004/, 10005/, ...). OUT_DIR becomes the content below the base address.\n"
           "  --steps-from-older  also a direct step from every older version to the newest\n"
           "  --always-diff       changed files as patches even when not smaller\n"
           "  --fast              the quick encoder: larger patches, made sooner\n"
           "  --memory MIB        working memory of all encoders together (default 4096);\n"
           "                      a file's source window is bounded so that its encoder fits\n"
           "  --jobs N            encoders at once (default: one per core); never changes\n"
           "                      the output\n"
           "  --sign KEYFILE      write a signed envelope FILE.sig beside every document\n"
           "  --expires DAYS      the signatures expire DAYS days from now (default: never)\n"
           "  keygen              make a new signing key (owner-only file) and print its\n"
           "                      public key for the launcher's DREVNA_CONTENT_PUBKEYS\n"
           "  sign                sign single files: the version file, the setup program...,\n"
           "                      each named by its path below DIR, the folder served at the\n"
           "                      address it is fetched below (default: the file's own folder)\n"
           "  resign              sign everything published in OUT_DIR again, with a new\n"
           "                      sequence, without rebuilding it\n";
    return 2;
}

// Takes "--expires DAYS" out of args at i; false for a bad value.
bool takeExpiry(QStringList& args, int i, qint64* expires)
{
    bool ok = false;
    const int days = args.value(i + 1).toInt(&ok);
    if (!ok || days <= 0)
        return false;
    *expires = publish::expiryAfterDays(days);
    args.erase(args.begin() + i, args.begin() + i + 2);
    return true;
}

int fail(QTextStream& err, const QString& error)
{
    err << "drevna-publish: " << error << '\n';
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    // Every patch is proved by the launcher's decoder, which, like xdelta3's
    // encoders, allocates window-sized buffers for each file: keep freed ones
    // for the next file instead of mapping and faulting in fresh pages for
    // each of thousands of small files.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList args = app.arguments().mid(1);
    QString error;

    if (args.value(0) == QLatin1String("keygen")) {
        if (args.size() != 2)
            return usage(err);
        QString publicKey;
        if (!publish::generateKey(args.at(1), &publicKey, &error))
            return fail(err, error);
        out << publicKey << '\n';
        return 0;
    }
    if (args.value(0) == QLatin1String("sign") || args.value(0) == QLatin1String("resign")) {
        qint64 expires = 0;
        QString root;
        for (int i = 2; i < args.size() && args.at(i).startsWith(QLatin1String("--"));) {
            if (args.at(i) == QLatin1String("--expires") && takeExpiry(args, i, &expires))
                continue;
            if (args.at(0) != QLatin1String("sign") || args.at(i) != QLatin1String("--root") ||
                i + 1 >= args.size())
                return usage(err);
            root = args.at(i + 1);
            args.erase(args.begin() + i, args.begin() + i + 2);
        }
        const bool resign = args.at(0) == QLatin1String("resign");
        if (args.size() < 3 || (resign && args.size() != 3))
            return usage(err);
        QByteArray key;
        if (!publish::loadSigningKey(args.at(1), &key, &error))
            return fail(err, error);
        if (resign)
            return publish::resign(args.at(2), key, expires, &error) ? 0 : fail(err, error);
        const QStringList files = args.mid(2);
        // One sequence for all: a version file and its setup program signed
        // together belong together.
        const qint64 sequence = publish::nextSequence(files);
        for (const QString& file : files) {
            const QString dir = root.isEmpty() ? QFileInfo(file).absolutePath() : root;
            if (!publish::signFile(file, dir, key, sequence, expires, &error))
                return fail(err, error);
        }
        return 0;
    }

    publish::Options options;
    bool quiet = false;
    QStringList positional;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == QLatin1String("--steps-from-older"))
            options.stepsFromOlder = true;
        else if (a == QLatin1String("--always-diff"))
            options.preferSmaller = false;
        else if (a == QLatin1String("--quiet"))
            quiet = true;
        else if (a == QLatin1String("--fast"))
            options.fast = true;
        else if ((a == QLatin1String("--memory") || a == QLatin1String("--jobs")) &&
                 i + 1 < args.size()) {
            bool ok = false;
            const int n = args.at(++i).toInt(&ok);
            if (!ok || n <= 0)
                return usage(err);
            if (a == QLatin1String("--jobs"))
                options.threads = n;
            else
                options.memoryBound = qint64(n) * 1024 * 1024;
        } else if (a == QLatin1String("--sign") && i + 1 < args.size()) {
            if (!publish::loadSigningKey(args.at(++i), &options.signingKey, &error))
                return fail(err, error);
        } else if (a == QLatin1String("--expires")) {
            if (!takeExpiry(args, i--, &options.expires))
                return usage(err);
        } else if (a.startsWith(QLatin1String("-")))
            return usage(err);
        else
            positional.append(a);
    }
    if (positional.size() != 2)
        return usage(err);
    publish::Summary summary;
    QStringList log;
    if (!quiet)
        options.progress = [&out](const QString& line) {
            out << line << '\n';
            out.flush();
        };
    const bool ok = publish::publish(positional.at(0), positional.at(1), options, &summary, &error,
                                     quiet ? nullptr : &log);
    for (const QString& line : qAsConst(log))
        out << line << '\n';
    if (!ok)
        return fail(err, error);
    out << publish::formatSummary(summary);
    if (!options.signingKey.isEmpty())
        out << "signed with key " << publish::publicKeyHex(options.signingKey) << '\n';
    return 0;
}

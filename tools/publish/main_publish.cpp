// drevna-publish: turns folders of complete game versions into patch content,
// and makes and uses the keys that sign it.
#include "publisher.h"
#include "rootkeys.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMap>
#include <QTextStream>
#include <malloc.h>

namespace
{

int usage(QTextStream& err)
{
    err << "usage: drevna-publish [--steps-from-older] [--always-diff] [--fast] [--memory MIB] "
           "[--jobs N] [--quiet] [--sign KEYFILE]... [--expires DAYS] VERSIONS_DIR OUT_DIR\n"
           "       drevna-publish keygen KEYFILE\n"
           "       drevna-publish sign KEYFILE [--sign KEYFILE]... [--expires DAYS] [--root DIR] "
           "FILE...\n"
           "       drevna-publish resign KEYFILE [--sign KEYFILE]... [--expires DAYS] OUT_DIR\n"
           "       drevna-publish root-init [--roots N] [--root-threshold N] --content KEY... "
           "[--content-threshold N] [--expires DAYS] ROOTKEY_DIR SERVED_DIR\n"
           "       drevna-publish rotate --sign ROOTKEYFILE... [--add-content KEY] "
           "[--remove-content KEY] [--content-threshold N] [--add-root KEY] [--remove-root KEY] "
           "[--root-threshold N] [--expires DAYS] SERVED_DIR\n"
           "  VERSIONS_DIR holds one folder per game version, named by its number\n"
           "  (10004/, 10005/, ...). OUT_DIR becomes the content below the base address.\n"
           "  --steps-from-older  also a direct step from every older version to the newest\n"
           "  --always-diff       changed files as patches even when not smaller\n"
           "  --fast              the quick encoder: larger patches, made sooner\n"
           "  --memory MIB        working memory of all encoders together (default 4096);\n"
           "                      a file's source window is bounded so that its encoder fits\n"
           "  --jobs N            encoders at once (default: one per core); never changes\n"
           "                      the output\n"
           "  --sign KEYFILE      write a signed envelope FILE.sig beside every document; given\n"
           "                      more than once, every key signs (the first key's signature\n"
           "                      leads, the one a launcher with DREVNA_CONTENT_PUBKEYS reads)\n"
           "  --expires DAYS      the signatures expire DAYS days from now (default: never;\n"
           "                      for root-init and rotate: 365)\n"
           "  keygen              make a new signing key (owner-only file) and print its\n"
           "                      public key (DREVNA_CONTENT_PUBKEYS, or --content below)\n"
           "  sign                sign single files: the version file, the setup program...,\n"
           "                      each named by its path below DIR, the folder served at the\n"
           "                      address it is fetched below (default: the file's own folder)\n"
           "  resign              sign everything published in OUT_DIR again, with a new\n"
           "                      sequence, without rebuilding it\n"
           "  root-init           make N root keys (default 1) in ROOTKEY_DIR and version 1 of\n"
           "                      the keys document in SERVED_DIR (served at the content\n"
           "                      server's root): keys/1.sig and keys.sig. KEY is a public key\n"
           "                      (64 hex characters) or a key file\n"
           "  rotate              the next version of the keys document in SERVED_DIR, with\n"
           "                      keys added or removed, thresholds or expiry changed; signed\n"
           "                      by the --sign root keys: enough of the current ones and of\n"
           "                      the new ones (a new root key signs too)\n";
    return 2;
}

int fail(QTextStream& err, const QString& error)
{
    err << "drevna-publish: " << error << '\n';
    return 1;
}

// Takes every "--NAME VALUE" of names out of args, in order; false for a
// name without its value.
bool takeOptions(QStringList& args, const QStringList& names, QMap<QString, QStringList>* out)
{
    for (int i = 0; i < args.size();) {
        if (!names.contains(args.at(i))) {
            ++i;
            continue;
        }
        if (i + 1 >= args.size())
            return false;
        (*out)[args.at(i)].append(args.at(i + 1));
        args.erase(args.begin() + i, args.begin() + i + 2);
    }
    return true;
}

// The last value of a whole-number option, fallback when absent; -1 when bad.
int number(const QMap<QString, QStringList>& options, const QString& name, int fallback)
{
    if (!options.contains(name))
        return fallback;
    bool ok = false;
    const int n = options.value(name).last().toInt(&ok);
    return ok && n > 0 ? n : -1;
}

bool loadKeys(const QStringList& files, QList<QByteArray>* keys, QString* error)
{
    for (const QString& file : files) {
        QByteArray key;
        if (!publish::loadSigningKey(file, &key, error))
            return false;
        keys->append(key);
    }
    return true;
}

bool publicKeys(const QStringList& args, QList<QByteArray>* keys, QString* error)
{
    for (const QString& arg : args) {
        QByteArray key;
        if (!publish::publicKeyArg(arg, &key, error))
            return false;
        keys->append(key);
    }
    return true;
}

int rootCommand(QStringList args, QTextStream& out, QTextStream& err)
{
    const bool init = args.takeFirst() == QLatin1String("root-init");
    QMap<QString, QStringList> o;
    QString error;
    if (!takeOptions(args,
                     {"--roots", "--root-threshold", "--content", "--content-threshold",
                      "--expires", "--sign", "--add-content", "--remove-content", "--add-root",
                      "--remove-root"},
                     &o))
        return usage(err);
    const int days = number(o, "--expires", 365), rootThreshold = number(o, "--root-threshold", 0),
              contentThreshold = number(o, "--content-threshold", 0);
    if (days < 0 || rootThreshold < 0 || contentThreshold < 0 || args.size() != (init ? 2 : 1) ||
        (init ? o.contains("--sign") : !o.contains("--sign")))
        return usage(err);
    if (init) {
        const int roots = number(o, "--roots", 1);
        QList<QByteArray> content;
        QStringList rootKeys;
        if (roots < 0 || !publicKeys(o.value("--content"), &content, &error) ||
            !publish::rootInit(args.at(0), roots, qMax(rootThreshold, 1), content,
                               qMax(contentThreshold, 1), publish::expiryAfterDays(days),
                               args.at(1), &rootKeys, &error))
            return error.isEmpty() ? usage(err) : fail(err, error);
        out << "keys document version 1 written; build the launcher with\n"
            << "  -DDREVNA_ROOT_PUBKEYS=" << rootKeys.join(',')
            << " -DDREVNA_ROOT_THRESHOLD=" << qMax(rootThreshold, 1) << '\n';
        return 0;
    }
    publish::KeysChange change;
    change.rootThreshold = rootThreshold;
    change.contentThreshold = contentThreshold;
    change.expires = publish::expiryAfterDays(days);
    QList<QByteArray> signing;
    contentsig::KeysDocument written;
    if (!publicKeys(o.value("--add-content"), &change.addContent, &error) ||
        !publicKeys(o.value("--remove-content"), &change.removeContent, &error) ||
        !publicKeys(o.value("--add-root"), &change.addRoot, &error) ||
        !publicKeys(o.value("--remove-root"), &change.removeRoot, &error) ||
        !loadKeys(o.value("--sign"), &signing, &error) ||
        !publish::rotate(args.at(0), change, signing, &written, &error))
        return fail(err, error);
    out << "keys document version " << written.version << " written: " << written.contentKeys.size()
        << " content keys (" << written.contentThreshold << " must sign), "
        << written.rootKeys.size() << " root keys (" << written.rootThreshold << " must sign)\n";
    return 0;
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
    const QString command = args.value(0);

    if (command == QLatin1String("keygen")) {
        if (args.size() != 2)
            return usage(err);
        QString publicKey;
        if (!publish::generateKey(args.at(1), &publicKey, &error))
            return fail(err, error);
        out << publicKey << '\n';
        return 0;
    }
    if (command == QLatin1String("root-init") || command == QLatin1String("rotate"))
        return rootCommand(args, out, err);

    // The first key of sign and resign comes before the options.
    const bool signing = command == QLatin1String("sign") || command == QLatin1String("resign");
    if (signing)
        args.replace(0, QStringLiteral("--sign"));
    QMap<QString, QStringList> o;
    QList<QByteArray> keys;
    if (!takeOptions(args, {"--sign", "--expires", "--root"}, &o) ||
        (o.contains("--root") && command != QLatin1String("sign")))
        return usage(err);
    const int days = number(o, "--expires", 0);
    if (days < 0)
        return usage(err);
    if (!loadKeys(o.value("--sign"), &keys, &error))
        return fail(err, error);
    const qint64 expires = days > 0 ? publish::expiryAfterDays(days) : 0;
    if (command == QLatin1String("resign")) {
        if (args.size() != 1)
            return usage(err);
        return publish::resign(args.at(0), keys, expires, &error) ? 0 : fail(err, error);
    }
    if (signing) {
        if (args.isEmpty())
            return usage(err);
        // One sequence for all: a version file and its setup program signed
        // together belong together.
        const qint64 sequence = publish::nextSequence(args);
        const QString root = o.value("--root").value(0);
        for (const QString& file : qAsConst(args)) {
            const QString dir = root.isEmpty() ? QFileInfo(file).absolutePath() : root;
            if (!publish::signFile(file, dir, keys, sequence, expires, &error))
                return fail(err, error);
        }
        return 0;
    }

    publish::Options options;
    options.signingKeys = keys;
    options.expires = expires;
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
    for (const QByteArray& key : qAsConst(options.signingKeys))
        out << "signed with key " << publish::publicKeyHex(key) << '\n';
    return 0;
}

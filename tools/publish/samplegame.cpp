#include "samplegame.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

namespace sample
{

namespace
{

// splitmix64: small, fast and the same everywhere.
struct Random {
    quint64 state;
    explicit Random(quint64 seed) : state(seed) {}
    quint64 next()
    {
        quint64 z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
};

QByteArray noise(quint64 seed, qint64 size)
{
    QByteArray data(int(size), Qt::Uninitialized);
    Random r(seed);
    for (qint64 i = 0; i < size; i += 8) {
        const quint64 v = r.next();
        for (int k = 0; k < 8 && i + k < size; ++k)
            data[int(i + k)] = char(v >> (8 * k));
    }
    return data;
}

// Tiles of a small alphabet with some noise: compresses like real textures.
QByteArray texture(quint64 seed, qint64 size)
{
    QByteArray data(int(size), Qt::Uninitialized);
    Random r(seed);
    for (qint64 i = 0; i < size; ++i) {
        const quint64 v = r.next();
        data[int(i)] = (v & 7) == 0 ? char(v >> 8) : char("drevna#_"[(i / 64) % 8] + (i % 3));
    }
    return data;
}

// A new release of a data file: some blocks rewritten, some bytes inserted
// (so that later content shifts), and a tail appended.
QByteArray revise(QByteArray data, quint64 seed)
{
    Random r(seed);
    for (int k = 0; k < 6; ++k) {
        const int pos = int(r.next() % quint64(qMax(1, data.size() - 4096)));
        data.replace(pos, 4096, noise(r.next(), 4096));
    }
    const int at = int(r.next() % quint64(qMax(1, data.size())));
    data.insert(at, noise(r.next(), 1000));
    data.append(noise(r.next(), 8192));
    return data;
}

QString dotted(int version)
{
    const QString d = QString::number(version);
    return d.left(d.size() - 2) + QLatin1Char('.') + d.at(d.size() - 2) + QLatin1Char('.') +
           d.at(d.size() - 1);
}

QByteArray startScript(int version)
{
    return QStringLiteral("#!/bin/sh\n"
                          "# Stand-in for the game: records its start and stays up a moment.\n"
                          "echo \"Drevna %1 started $*\" >> drevna-game.log\n"
                          "sleep 3\n")
        .arg(dotted(version))
        .toUtf8();
}

QByteArray settings(int version)
{
    return QStringLiteral("[game]\r\nversion=%1\r\nserver=realm-%2.drevna.example\r\n"
                          "[video]\r\nwidth=1920\r\nheight=1080\r\nvsync=%3\r\n")
        .arg(dotted(version))
        .arg(version % 7)
        .arg(version % 2 ? QStringLiteral("on") : QStringLiteral("off"))
        .toUtf8();
}

using Tree = QMap<QString, QByteArray>;

QList<Tree> buildTrees(const Options& options)
{
    const QList<int> vs = versions();
    QList<Tree> trees;
    constexpr qint64 KiB = 1024;
    constexpr qint64 MiB = 1024 * KiB;

    Tree a; // oldest
    a.insert(QStringLiteral("Data/world.pak"), noise(11, 3 * MiB));
    a.insert(QStringLiteral("Data/textures.pak"), texture(12, 2 * MiB));
    a.insert(QStringLiteral("Data/fonts.dat"), noise(13, 256 * KiB));
    a.insert(QStringLiteral("Data/legacy.dat"), noise(14, 512 * KiB));
    a.insert(QStringLiteral("Data/Maps/map01.dat"), texture(15, 1 * MiB));
    a.insert(QStringLiteral("readme.txt"),
             QByteArrayLiteral("Drevna sample game. Every file here is generated.\n"));
    if (options.largeMb > 0)
        a.insert(QStringLiteral("Data/terrain.pak"), noise(16, options.largeMb * MiB));

    Tree b = a; // middle: changes, one file added
    b[QStringLiteral("Data/world.pak")] = revise(a.value(QStringLiteral("Data/world.pak")), 21);
    b[QStringLiteral("Data/textures.pak")] =
        revise(a.value(QStringLiteral("Data/textures.pak")), 22);
    b[QStringLiteral("Data/Maps/map01.dat")] =
        revise(a.value(QStringLiteral("Data/Maps/map01.dat")), 23);
    b.insert(QStringLiteral("Data/Maps/map02.dat"), texture(24, 768 * KiB));
    if (options.largeMb > 0)
        b[QStringLiteral("Data/terrain.pak")] =
            revise(a.value(QStringLiteral("Data/terrain.pak")), 25);

    Tree c = b; // newest: changes, one added, one deleted
    c[QStringLiteral("Data/world.pak")] = revise(b.value(QStringLiteral("Data/world.pak")), 31);
    c[QStringLiteral("Data/Maps/map02.dat")] =
        revise(b.value(QStringLiteral("Data/Maps/map02.dat")), 32);
    c.remove(QStringLiteral("Data/legacy.dat"));
    c.insert(QStringLiteral("Data/audio.pak"), noise(33, 1 * MiB));
    if (options.largeMb > 0)
        c[QStringLiteral("Data/terrain.pak")] =
            revise(b.value(QStringLiteral("Data/terrain.pak")), 34);

    trees << a << b << c;
    for (int i = 0; i < trees.size(); ++i) {
        trees[i].insert(QStringLiteral("Drevna.exe"), startScript(vs.at(i)));
        trees[i].insert(QStringLiteral("config/game.ini"), settings(vs.at(i)));
    }
    return trees;
}

} // namespace

QList<int> versions()
{
    return {10004, 10005, 10006};
}

bool makeSampleGame(const QString& outDir, const Options& options, QString* error)
{
    QDir(outDir).removeRecursively();
    const QList<int> vs = versions();
    const QList<Tree> trees = buildTrees(options);
    for (int i = 0; i < vs.size(); ++i) {
        const QString root = outDir + QLatin1Char('/') + QString::number(vs.at(i));
        for (auto it = trees.at(i).constBegin(); it != trees.at(i).constEnd(); ++it) {
            const QString path = root + QLatin1Char('/') + it.key();
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile f(path);
            if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                f.write(it.value()) != it.value().size()) {
                if (error)
                    *error = QStringLiteral("%1 cannot be written").arg(path);
                return false;
            }
            if (it.key() == QLatin1String("Drevna.exe"))
                f.setPermissions(f.permissions() | QFile::ExeOwner | QFile::ExeGroup |
                                 QFile::ExeOther);
        }
    }
    return true;
}

} // namespace sample

#include "base/updatetypes.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>
#include <QVariant>
#include <functional>

QString formatVersion(qint64 version)
{
    const QString digits = QString::number(version < 0 ? -version : version);
    const int n = digits.size();
    if (n == 1)
        return QStringLiteral("0.0.") + digits;
    if (n == 2)
        return QStringLiteral("0.%1.%2").arg(digits.at(0)).arg(digits.at(1));
    return QStringLiteral("%1.%2.%3")
        .arg(digits.left(n - 2))
        .arg(digits.at(n - 2))
        .arg(digits.at(n - 1));
}

bool operator==(const DownloadFileInfo& a, const DownloadFileInfo& b)
{
    return a.name == b.name && a.type == b.type && a.size == b.size && a.srcMd5 == b.srcMd5 &&
           a.destMd5 == b.destMd5 && a.md5 == b.md5 && a.path == b.path &&
           a.parentUrl == b.parentUrl && a.hadPatch == b.hadPatch;
}

bool operator==(const PatchStep& a, const PatchStep& b)
{
    return a.preVersion == b.preVersion && a.version == b.version && a.path == b.path &&
           a.files == b.files;
}

QJsonObject parseJsonObject(const QString& text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (doc.isNull() || error.error != QJsonParseError::NoError) {
        qDebug() << "decode " << text << "error:" << error.error;
        return {};
    }
    return doc.isObject() ? doc.object() : QJsonObject();
}

void removeInterruptedWrites(const QString& path)
{
    static const QRegularExpression sideFile(QStringLiteral("\\.[A-Za-z0-9]{6}$"));
    const QFileInfo info(path);
    const QDir dir = info.dir();
    const QStringList names = dir.entryList({info.fileName() + QStringLiteral(".??????")},
                                            QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (sideFile.match(name).hasMatch())
            QFile::remove(dir.filePath(name));
    }
}

bool writeFileWith(const QString& path, const std::function<bool(QIODevice&)>& write)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    removeInterruptedWrites(path);
    // QSaveFile writes a temporary file and renames it over the old one on
    // commit, so a crash mid-write leaves the previous content intact.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qDebug() << "create file error" << path;
        return false;
    }
    if (!write(file)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    return writeFileWith(path, [&](QIODevice& out) { return out.write(bytes) == bytes.size(); });
}

QString safeRelativePath(const QString& name)
{
    QString path = name;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')))
        return QString();
    // Names are joined into URLs too: "#" and "?" would cut the path there,
    // "%" would be read as an escape; control characters have no place in
    // either. On Windows ":" names a drive ("c:x", also after a dropped "./")
    // or a file's hidden stream, and is in no file name.
    for (const QChar c : path) {
        if (c == QLatin1Char('#') || c == QLatin1Char('?') || c == QLatin1Char('%') ||
            c == QLatin1Char(':') || c.category() == QChar::Other_Control)
            return QString();
    }
    // Windows opens a device for these names, whatever their extension.
    static const QRegularExpression device(
        QStringLiteral("^(con|prn|aux|nul|com[0-9]|lpt[0-9])(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    QStringList parts;
    for (const QString& part : path.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        // Windows drops trailing dots and blanks of a component, so "..."
        // would climb like ".." and "a." would be "a": refuse them all.
        if (part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' ')) ||
            device.match(part).hasMatch())
            return QString();
        parts << part;
    }
    // The launcher's own records in the game folder are no game files.
    const QString joined = parts.join(QLatin1Char('/'));
    if (joined.compare(QLatin1String("localversion.json"), Qt::CaseInsensitive) == 0 ||
        joined.compare(QLatin1String("contentsequence.json"), Qt::CaseInsensitive) == 0)
        return QString();
    return joined;
}

bool fileListIsSafe(const QJsonObject& list, QString* refused)
{
    double total = 0;
    for (const QJsonValue& v : list.value(QLatin1String("filelist")).toArray()) {
        const QJsonObject entry = v.toObject();
        const QString name = entry.value(QLatin1String("name")).toString();
        // Read as the record reads it; a missing size is 0.
        const QJsonValue sizeValue = entry.value(QLatin1String("size"));
        bool isNumber = false;
        const double size = sizeValue.toVariant().toDouble(&isNumber);
        const bool sizeFits =
            sizeValue.isUndefined() || (isNumber && size >= 0 && size <= double(MaxListedSize));
        total += sizeFits && isNumber ? size : 0;
        if (safeRelativePath(name).isEmpty() || safeRelativePath(localFileKey(name)).isEmpty() ||
            !sizeFits || total > double(MaxListedSize)) {
            if (refused)
                *refused = name;
            return false;
        }
    }
    return true;
}

DownloadFileInfo fileInfoFromListEntry(const QJsonObject& entry, const QString& parentUrl,
                                       const QString& stepPath)
{
    DownloadFileInfo info;
    info.name = entry.value(QLatin1String("name")).toString();
    info.size = entry.value(QLatin1String("size")).toVariant().toLongLong();
    info.md5 = entry.value(QLatin1String("md5")).toString();
    info.type = entry.value(QLatin1String("type")).toString();
    info.srcMd5 = entry.value(QLatin1String("srcmd5")).toString();
    info.destMd5 = entry.value(QLatin1String("destmd5")).toString();
    info.path = stepPath;
    info.parentUrl = parentUrl;
    info.hadPatch = false;
    return info;
}

bool patchThreadPaths(const QString& patchDir, const QString& gameDir, const QString& stepPath,
                      const DownloadFileInfo& f, QString& patchFile, QString& target)
{
    constexpr int PatchSuffixLength = 6;
    const QString step = safeRelativePath(stepPath);
    const QString name = safeRelativePath(f.name);
    const QString targetName = f.name.size() > PatchSuffixLength
                                   ? safeRelativePath(f.name.chopped(PatchSuffixLength))
                                   : QString();
    if (step.isEmpty() || name.isEmpty() || targetName.isEmpty())
        return false;
    patchFile = patchDir + QLatin1Char('/') + step + QLatin1Char('/') + name;
    target = gameDir + QLatin1Char('/') + targetName;
    return true;
}

QString localFileKey(const QString& name)
{
    return name.size() < 6 ? name : name.left(name.size() - 6);
}

bool chainNamesAreSafe(const PatchChain& chain)
{
    for (const PatchStep& step : chain) {
        if (safeRelativePath(step.path).isEmpty())
            return false;
        for (const DownloadFileInfo& f : step.files) {
            if (safeRelativePath(f.name).isEmpty() || safeRelativePath(f.path).isEmpty())
                return false;
        }
    }
    return true;
}

QString localPatchFilePath(const QString& patchDir, const DownloadFileInfo& f)
{
    const QString step = safeRelativePath(f.path);
    const QString name = safeRelativePath(f.name);
    if (step.isEmpty() || name.isEmpty())
        return QString();
    return patchDir + QLatin1Char('/') + step + QLatin1Char('/') + name;
}

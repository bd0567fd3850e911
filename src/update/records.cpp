#include "update/records.h"

#include <QDebug>
#include <QDir>
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

namespace
{
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

bool writeAll(QIODevice& out, const QByteArray& bytes)
{
    return out.write(bytes) == bytes.size();
}
} // namespace

bool writeFile(const QString& path, const QByteArray& bytes)
{
    return writeFileWith(path, [&](QIODevice& out) { return writeAll(out, bytes); });
}

RecordJournal::RecordJournal(const QString& recordPath)
    : file(recordPath + QLatin1String(".journal"))
{
}

bool RecordJournal::append(const QJsonObject& line)
{
    if (!file.isOpen()) {
        QDir().mkpath(QFileInfo(file.fileName()).absolutePath());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            return false;
    }
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    return file.write(bytes) == bytes.size() && file.flush();
}

QList<QJsonObject> RecordJournal::read()
{
    file.close();
    QList<QJsonObject> lines;
    QFile in(file.fileName());
    if (!in.open(QIODevice::ReadOnly))
        return lines;
    while (!in.atEnd()) {
        const QByteArray line = in.readLine();
        if (!line.endsWith('\n'))
            break; // torn by a kill
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        if (doc.isObject())
            lines.append(doc.object());
    }
    return lines;
}

void RecordJournal::remove()
{
    file.close();
    QFile::remove(file.fileName());
}

void applyFileLines(QJsonObject& record, const QList<QJsonObject>& lines)
{
    // Through a map: inserting into a large JSON object one key at a time
    // moves the keys behind it each time.
    QVariantMap files = record.value(QLatin1String("filelist")).toObject().toVariantMap();
    for (const QJsonObject& line : lines) {
        const QString key = line.value(QLatin1String("name")).toString();
        if (line.value(QLatin1String("del")).toBool())
            files.remove(key);
        else
            files.insert(key, QVariantMap{{QStringLiteral("name"), key},
                                          {QStringLiteral("md5"),
                                           line.value(QLatin1String("md5")).toString()}});
    }
    record.insert(QLatin1String("filelist"), QJsonObject::fromVariantMap(files));
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

namespace
{
QJsonObject chainFileObject(const DownloadFileInfo& f)
{
    QJsonObject o;
    o.insert(QLatin1String("name"), f.name);
    o.insert(QLatin1String("type"), f.type);
    o.insert(QLatin1String("size"), f.size);
    o.insert(QLatin1String("srcMd5"), f.srcMd5);
    o.insert(QLatin1String("destMd5"), f.destMd5);
    o.insert(QLatin1String("md5"), f.md5);
    o.insert(QLatin1String("path"), f.path);
    o.insert(QLatin1String("parentUrl"), f.parentUrl);
    o.insert(QLatin1String("hadPatch"), f.hadPatch);
    return o;
}

QJsonArray chainArray(const PatchChain& chain, bool withFiles)
{
    QJsonArray steps;
    for (const PatchStep& step : chain) {
        QJsonArray files;
        for (int i = 0; withFiles && i < step.files.size(); ++i)
            files.append(chainFileObject(step.files.at(i)));
        QJsonObject s;
        s.insert(QLatin1String("preVersion"), step.preVersion);
        s.insert(QLatin1String("path"), step.path);
        s.insert(QLatin1String("version"), step.version);
        s.insert(QLatin1String("files"), files);
        steps.append(s);
    }
    return steps;
}
} // namespace

QByteArray patchChainToJson(const PatchChain& chain)
{
    // UTF-8, so names outside ASCII survive the round trip.
    return QJsonDocument(chainArray(chain, true)).toJson(QJsonDocument::Indented);
}

bool writePatchChain(const QString& path, const PatchChain& chain)
{
    // The indented text of the steps without their files; each file's own
    // text goes in after "files": [, indented three levels as the whole
    // document would have it. Strings hold no raw line end, so the marker
    // is found only where a step's file array opens.
    const QByteArray skeleton =
        QJsonDocument(chainArray(chain, false)).toJson(QJsonDocument::Indented);
    const QByteArray marker = "\"files\": [\n";
    const QByteArray indent(12, ' ');
    return writeFileWith(path, [&](QIODevice& out) {
        int from = 0;
        for (const PatchStep& step : chain) {
            const int at = skeleton.indexOf(marker, from) + marker.size();
            if (!writeAll(out, skeleton.mid(from, at - from)))
                return false;
            from = at;
            for (int i = 0; i < step.files.size(); ++i) {
                QByteArray text = QJsonDocument(chainFileObject(step.files.at(i)))
                                      .toJson(QJsonDocument::Indented);
                text.chop(1);
                text.replace('\n', "\n" + indent);
                if (!writeAll(out, indent + text + (i + 1 < step.files.size() ? ",\n" : "\n")))
                    return false;
            }
        }
        return writeAll(out, skeleton.mid(from));
    });
}

PatchChain patchChainFromArray(const QJsonArray& array)
{
    PatchChain chain;
    for (const QJsonValue& v : array) {
        const QJsonObject s = v.toObject();
        PatchStep step;
        step.preVersion = s.value(QLatin1String("preVersion")).toInt();
        step.path = s.value(QLatin1String("path")).toString();
        step.version = s.value(QLatin1String("version")).toInt();
        for (const QJsonValue& fv : s.value(QLatin1String("files")).toArray()) {
            const QJsonObject o = fv.toObject();
            DownloadFileInfo f;
            f.name = o.value(QLatin1String("name")).toString();
            f.type = o.value(QLatin1String("type")).toString();
            f.size = o.value(QLatin1String("size")).toVariant().toLongLong();
            f.srcMd5 = o.value(QLatin1String("srcMd5")).toString();
            f.destMd5 = o.value(QLatin1String("destMd5")).toString();
            f.md5 = o.value(QLatin1String("md5")).toString();
            f.path = o.value(QLatin1String("path")).toString();
            f.parentUrl = o.value(QLatin1String("parentUrl")).toString();
            f.hadPatch = o.value(QLatin1String("hadPatch")).toBool();
            step.files.append(f);
        }
        chain.append(step);
    }
    return chain;
}

PatchChain patchChainFromJson(const QByteArray& json, bool* ok)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    const bool good = !doc.isNull() && error.error == QJsonParseError::NoError && doc.isArray();
    if (ok)
        *ok = good;
    return good ? patchChainFromArray(doc.array()) : PatchChain();
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

#include "update/records.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QVariant>

RecordJournal::RecordJournal(const QString& recordPath)
    : file(recordPath + QLatin1String(".journal"))
{
}

bool RecordJournal::append(const QJsonObject& line)
{
    if (!file.isOpen()) {
        QDir().mkpath(QFileInfo(file.fileName()).absolutePath());
        if (!file.open(QIODevice::ReadWrite))
            return false;
        // A line torn by a kill is cut off, so that the next one does not
        // continue it and get lost with it when read.
        const QByteArray text = file.readAll();
        const qint64 whole = text.lastIndexOf('\n') + 1;
        if ((whole < text.size() && !file.resize(whole)) || !file.seek(whole))
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

namespace
{
bool writeAll(QIODevice& out, const QByteArray& bytes)
{
    return out.write(bytes) == bytes.size();
}

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

// ---- the engine's records ----

RecordJournal& LocalRecords::journal(std::unique_ptr<RecordJournal>& slot,
                                     const QString& recordPath)
{
    // The folders may change between runs (and in tests).
    if (!slot || slot->path() != recordPath + QLatin1String(".journal"))
        slot = std::make_unique<RecordJournal>(recordPath);
    return *slot;
}

void LocalRecords::failed(const QString& path)
{
    if (writeFailed)
        writeFailed(path);
}

void LocalRecords::loadLocalVersion()
{
    localVersion =
        QJsonObject{{QLatin1String("version"), 0}, {QLatin1String("start_apply_patch"), false}};
    versionLines.clear();
    const QString path = gameDir + QLatin1String("/localversion.json");
    removeInterruptedWrites(path);
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
        if (!doc.isNull() && error.error == QJsonParseError::NoError && doc.isObject())
            localVersion = doc.object();
        else
            qDebug() << "decode " << path << "error:" << error.error;
    }
    // Files recorded after the last fold: a run that was killed left them.
    versionLines = journal(versionJournal, path).read();
    if (!versionLines.isEmpty())
        saveLocalVersion();
    qDebug().noquote() << "loadLocalVersion:"
                       << QString::fromUtf8(
                              QJsonDocument(localVersion).toJson(QJsonDocument::Compact));
}

bool LocalRecords::saveLocalVersion()
{
    const QString path = gameDir + QLatin1String("/localversion.json");
    if (!versionLines.isEmpty()) {
        applyFileLines(localVersion, versionLines);
        versionLines.clear();
    }
    // UTF-8, so file names outside ASCII survive the round trip.
    if (!writeFile(path, QJsonDocument(localVersion).toJson(QJsonDocument::Indented))) {
        failed(path);
        return false;
    }
    // Only once the record holds its lines; lines read again after a kill
    // here change nothing.
    journal(versionJournal, path).remove();
    return true;
}

bool LocalRecords::recordFileDone(const DownloadFileInfo& info)
{
    // The record takes the line in when it is saved next, at the latest when
    // the run ends.
    const QString key = localFileKey(info.name);
    const QJsonObject line =
        info.type == QLatin1String("del")
            ? QJsonObject{{QLatin1String("name"), key}, {QLatin1String("del"), true}}
            : QJsonObject{{QLatin1String("name"), key}, {QLatin1String("md5"), info.md5}};
    RecordJournal& lines = journal(versionJournal, gameDir + QLatin1String("/localversion.json"));
    if (!lines.append(line)) {
        failed(lines.path());
        return false;
    }
    versionLines.append(line);
    return true;
}

PatchChain LocalRecords::loadPatchChain()
{
    const QString path = patchDir + QLatin1String("/patchchain.json");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        journal(chainJournal, path).remove(); // lines of no chain
        return {};
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (doc.isNull() || error.error != QJsonParseError::NoError || !doc.isArray()) {
        qDebug() << "decode " << path << "error:" << error.error;
        return {};
    }
    PatchChain loaded = patchChainFromArray(doc.array());
    // Local paths are built from these names: a refused one voids the file.
    if (!chainNamesAreSafe(loaded)) {
        qDebug() << "unsafe file name in" << path;
        return {};
    }
    const QList<QJsonObject> lines = journal(chainJournal, path).read();
    for (const QJsonObject& line : lines) {
        const int version = line.value(QLatin1String("version")).toInt();
        const int index = line.value(QLatin1String("file")).toInt(-1);
        for (PatchStep& step : loaded) {
            if (step.version == version && index >= 0 && index < step.files.size() &&
                step.files[index].name == line.value(QLatin1String("name")).toString())
                step.files[index].hadPatch = true;
        }
    }
    if (!lines.isEmpty())
        savePatchChain(loaded);
    return loaded;
}

bool LocalRecords::savePatchChain(const PatchChain& steps)
{
    const QString path = patchDir + QLatin1String("/patchchain.json");
    {
        QMutexLocker lock(&chainFileMutex);
        if (writePatchChain(path, steps)) {
            journal(chainJournal, path).remove();
            return true;
        }
    }
    failed(path);
    return false;
}

bool LocalRecords::recordPatchDone(int stepVersion, int fileIndex, const QString& name)
{
    const QString path = patchDir + QLatin1String("/patchchain.json");
    {
        QMutexLocker lock(&chainFileMutex);
        if (journal(chainJournal, path)
                .append(QJsonObject{{QLatin1String("version"), stepVersion},
                                    {QLatin1String("file"), fileIndex},
                                    {QLatin1String("name"), name}}))
            return true;
    }
    failed(path + QLatin1String(".journal"));
    return false;
}

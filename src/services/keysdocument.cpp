// The keys document and its chain of versions: parsing, judging the next
// version, keeping the trusted one.
#include "services/keysdocument.h"

#include "base/updatetypes.h"
#include "services/contentsignature.h"
#include "services/envelope.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>
#include <cmath>

namespace contentsig
{

const char* const KeysType = "drevna-keys-1";

namespace
{

struct Chain {
    bool configured = false;
    QList<QByteArray> buildRootKeys;
    int buildRootThreshold = 1;
    KeysDocument trusted; // version 0 until one is trusted
    QString folder;
};

int thresholdFrom(const QString& text)
{
    bool ok = false;
    const int t = text.toInt(&ok);
    return text.trimmed().isEmpty() ? 1 : ok ? t : 0;
}

Chain fromBuild(const QString& keys, int threshold)
{
    Chain c;
    bool ok = false;
    c.buildRootKeys = parseKeys(keys, &ok);
    // Keys that cannot be read still turn the chain on: with nothing to
    // trust, every document is refused rather than taken unchecked.
    c.configured = !ok || !c.buildRootKeys.isEmpty();
    c.buildRootThreshold = ok && threshold >= 1 && threshold <= c.buildRootKeys.size()
                               ? threshold
                               : c.buildRootKeys.size() + 1;
    return c;
}

Chain& chain()
{
    static Chain c = fromBuild(QString::fromLatin1(buildRootKeys),
                               thresholdFrom(QString::fromLatin1(buildRootThreshold)));
    return c;
}

// The root keys that must sign the next version, and how many of them.
void previousRoot(const Chain& c, QList<QByteArray>* keys, int* threshold)
{
    *keys = c.trusted.version > 0 ? c.trusted.rootKeys : c.buildRootKeys;
    *threshold = c.trusted.version > 0 ? c.trusted.rootThreshold : c.buildRootThreshold;
}

bool readKeyList(const QJsonValue& value, QList<QByteArray>* keys)
{
    static const QRegularExpression hexKey(QStringLiteral("^[0-9a-f]{64}$"));
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.isEmpty() || array.size() > MaxKeys)
        return false;
    for (const QJsonValue& v : array) {
        const QString hex = v.toString();
        const QByteArray key = QByteArray::fromHex(hex.toLatin1());
        if (!hexKey.match(hex).hasMatch() || keys->contains(key))
            return false;
        keys->append(key);
    }
    return true;
}

QJsonArray keyList(const QList<QByteArray>& keys)
{
    QJsonArray array;
    for (const QByteArray& key : keys)
        array.append(QString::fromLatin1(key.toHex()));
    return array;
}

bool wholeNumber(const QJsonValue& v, qint64* out, qint64 least)
{
    const double d = v.toDouble(-1);
    if (!v.isDouble() || d < double(least) || d > 9007199254740992.0 || std::floor(d) != d)
        return false;
    *out = qint64(d);
    return true;
}

bool threshold(const QJsonValue& v, int keys, int* out)
{
    qint64 t = 0;
    if (!wholeNumber(v, &t, 1) || t > keys)
        return false;
    *out = int(t);
    return true;
}

bool refuse(const QString& reason, const QString& url)
{
    qDebug().noquote() << QStringLiteral("keys refused (%1): %2").arg(reason, url);
    return false;
}

// The document an envelope states, with the keys among candidates that
// signed it; false when it states no keys document.
bool readEnvelope(const QByteArray& envelope, const QList<QByteArray>& candidates,
                  KeysDocument* keys, QList<QByteArray>* signers)
{
    QJsonObject statement;
    *signers = envelopeSigners(envelope, candidates, &statement);
    return statement.value(QLatin1String("type")).toString() == QLatin1String(KeysType) &&
           KeysDocument::fromObject(statement, keys);
}

int countOf(const QList<QByteArray>& signers, const QList<QByteArray>& keys)
{
    int n = 0;
    for (const QByteArray& key : keys)
        n += signers.contains(key) ? 1 : 0;
    return n;
}

} // namespace

QJsonObject KeysDocument::toObject() const
{
    return {{QStringLiteral("type"), QLatin1String(KeysType)},
            {QStringLiteral("version"), double(version)},
            {QStringLiteral("expires"), double(expires)},
            {QStringLiteral("contentKeys"), keyList(contentKeys)},
            {QStringLiteral("contentThreshold"), contentThreshold},
            {QStringLiteral("rootKeys"), keyList(rootKeys)},
            {QStringLiteral("rootThreshold"), rootThreshold}};
}

bool KeysDocument::fromObject(const QJsonObject& o, KeysDocument* k)
{
    *k = KeysDocument();
    return o.value(QLatin1String("type")).toString() == QLatin1String(KeysType) &&
           wholeNumber(o.value(QLatin1String("version")), &k->version, 1) &&
           wholeNumber(o.value(QLatin1String("expires")), &k->expires, 1) &&
           readKeyList(o.value(QLatin1String("contentKeys")), &k->contentKeys) &&
           readKeyList(o.value(QLatin1String("rootKeys")), &k->rootKeys) &&
           threshold(o.value(QLatin1String("contentThreshold")), k->contentKeys.size(),
                     &k->contentThreshold) &&
           threshold(o.value(QLatin1String("rootThreshold")), k->rootKeys.size(),
                     &k->rootThreshold);
}

QString keysDocumentName(qint64 version)
{
    return QStringLiteral("keys/%1.sig").arg(version);
}

QString newestKeysDocumentName()
{
    return QStringLiteral("keys.sig");
}

QString trustedKeysFileName()
{
    return QStringLiteral("contentkeys.sig");
}

bool rootKeysConfigured()
{
    return chain().configured;
}

bool setRootKeys(const QString& commaSeparatedHex, int threshold)
{
    bool ok = false;
    const int keys = parseKeys(commaSeparatedHex, &ok).size();
    if (!ok || (keys > 0 && (threshold < 1 || threshold > keys)))
        return false;
    const QString folder = chain().folder;
    chain() = fromBuild(commaSeparatedHex, threshold);
    chain().folder = folder;
    return true;
}

bool trustNextKeys(const QByteArray& envelope, const QString& url)
{
    Chain& c = chain();
    QList<QByteArray> root, signers, ownSigners;
    int rootThreshold = 1;
    previousRoot(c, &root, &rootThreshold);
    KeysDocument next;
    if (envelope.size() > MaxEnvelopeBytes || !readEnvelope(envelope, root, &next, &signers))
        return refuse(QStringLiteral("unreadable"), url);
    readEnvelope(envelope, next.rootKeys, &next, &ownSigners);
    const int trustedCount = countOf(signers, root), ownCount = ownSigners.size();
    if (trustedCount < rootThreshold)
        return refuse(
            QStringLiteral("%1 of %2 trusted root signatures").arg(trustedCount).arg(rootThreshold),
            url);
    if (ownCount < next.rootThreshold)
        return refuse(
            QStringLiteral("%1 of %2 own root signatures").arg(ownCount).arg(next.rootThreshold),
            url);
    if (next.version != c.trusted.version + 1)
        return refuse(
            QStringLiteral("version %1, expected %2").arg(next.version).arg(c.trusted.version + 1),
            url);
    // Cleared before the new keys are kept: a start killed in between clears
    // it again, never keeps the new keys with the old sequences.
    const bool rotated =
        c.trusted.version > 0 &&
        QSet<QByteArray>(c.trusted.contentKeys.begin(), c.trusted.contentKeys.end()) !=
            QSet<QByteArray>(next.contentKeys.begin(), next.contentKeys.end());
    if (rotated && !clearRecord())
        return refuse(QStringLiteral("%1 not cleared").arg(recordFileName()), url);
    if (!c.folder.isEmpty() &&
        !writeFile(c.folder + QLatin1Char('/') + trustedKeysFileName(), envelope))
        return refuse(QStringLiteral("%1 not written").arg(trustedKeysFileName()), url);
    c.trusted = next;
    qDebug().noquote() << QStringLiteral("keys version %1 trusted%2: %3")
                              .arg(next.version)
                              .arg(rotated ? QStringLiteral(", content keys changed") : QString())
                              .arg(url);
    return true;
}

qint64 trustedKeysVersion()
{
    return chain().trusted.version;
}

void loadTrustedKeys(const QString& folder)
{
    Chain& c = chain();
    c.folder = folder;
    c.trusted = KeysDocument();
    if (!c.configured || folder.isEmpty())
        return;
    const QString path = folder + QLatin1Char('/') + trustedKeysFileName();
    removeInterruptedWrites(path);
    QFile file(path);
    if (!file.exists())
        return;
    // Read back as written: signed by its own root keys. Anything else is
    // forgotten, and the chain starts again from the launcher's root keys.
    KeysDocument kept;
    QList<QByteArray> signers;
    const QByteArray envelope =
        file.open(QIODevice::ReadOnly) ? file.read(MaxEnvelopeBytes + 1) : QByteArray();
    if (envelope.size() <= MaxEnvelopeBytes && readEnvelope(envelope, {}, &kept, &signers) &&
        readEnvelope(envelope, kept.rootKeys, &kept, &signers) &&
        signers.size() >= kept.rootThreshold)
        c.trusted = kept;
    else
        qDebug().noquote() << "trusted keys unreadable, starting from the built-in root keys:"
                           << path;
}

bool keysInForce(QList<QByteArray>* keys, int* threshold, QString* why)
{
    const KeysDocument& trusted = chain().trusted;
    *keys = trusted.contentKeys;
    *threshold = trusted.contentThreshold;
    if (trusted.version == 0)
        *why = QStringLiteral("keys untrusted");
    else if (QDateTime::currentSecsSinceEpoch() >= trusted.expires)
        *why = QStringLiteral("keys expired");
    else
        return true;
    return false;
}

} // namespace contentsig

#include "rootkeys.h"

#include "publisher.h"
#include "services/envelope.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <sodium.h>

namespace publish
{

namespace
{

bool setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

QByteArray publicKeyOf(const QByteArray& secretKey)
{
    return QByteArray::fromHex(publicKeyHex(secretKey).toLatin1());
}

int signedBy(const QList<QByteArray>& signingKeys, const QList<QByteArray>& keys)
{
    int n = 0;
    for (const QByteArray& secretKey : signingKeys)
        n += keys.contains(publicKeyOf(secretKey)) ? 1 : 0;
    return n;
}

// keys with add appended and remove taken out; false when a key to add is
// there already or one to remove is not.
bool applyChange(QList<QByteArray>* keys, const QList<QByteArray>& add,
                 const QList<QByteArray>& remove, const QString& what, QString* error)
{
    for (const QByteArray& key : add) {
        if (keys->contains(key))
            return setError(error, QStringLiteral("%1 key %2 is there already")
                                       .arg(what, QString::fromLatin1(key.toHex())));
        keys->append(key);
    }
    for (const QByteArray& key : remove) {
        if (!keys->removeOne(key))
            return setError(error, QStringLiteral("%1 key %2 is not there")
                                       .arg(what, QString::fromLatin1(key.toHex())));
    }
    return true;
}

} // namespace

bool publicKeyArg(const QString& arg, QByteArray* key, QString* error)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
    if (hex.match(arg).hasMatch()) {
        *key = QByteArray::fromHex(arg.toLatin1());
        return true;
    }
    QByteArray secretKey;
    if (!loadSigningKey(arg, &secretKey, error))
        return setError(error, QStringLiteral("%1: neither a public key nor a key file").arg(arg));
    *key = publicKeyOf(secretKey);
    sodium_memzero(secretKey.data(), size_t(secretKey.size()));
    return true;
}

bool writeKeysDocument(const QString& servedDir, const contentsig::KeysDocument& doc,
                       const QList<QByteArray>& secretKeys, QString* error)
{
    contentsig::KeysDocument check;
    if (!contentsig::KeysDocument::fromObject(doc.toObject(), &check))
        return setError(error, QStringLiteral("keys document version %1 is not sound (keys, "
                                              "thresholds from 1 to their number, expiry)")
                                   .arg(doc.version));
    const QByteArray envelope = contentsig::makeEnvelope(doc.toObject(), secretKeys);
    if (envelope.isEmpty() || envelope.size() > contentsig::MaxEnvelopeBytes)
        return setError(
            error, QStringLiteral("keys document version %1 cannot be signed").arg(doc.version));
    for (const QString& name :
         {contentsig::keysDocumentName(doc.version), contentsig::newestKeysDocumentName()}) {
        const QString path = servedDir + QLatin1Char('/') + name;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            f.write(envelope) != envelope.size())
            return setError(error, QStringLiteral("%1: cannot be written").arg(path));
    }
    return true;
}

bool readNewestKeys(const QString& servedDir, contentsig::KeysDocument* doc, QString* error)
{
    const QString path = servedDir + QLatin1Char('/') + contentsig::newestKeysDocumentName();
    QFile f(path);
    QJsonObject statement;
    if (!f.open(QIODevice::ReadOnly))
        return setError(error, QStringLiteral("%1: cannot be read (root-init first)").arg(path));
    contentsig::envelopeSigners(f.read(contentsig::MaxEnvelopeBytes + 1), {}, &statement);
    if (!contentsig::KeysDocument::fromObject(statement, doc))
        return setError(error, QStringLiteral("%1: no keys document").arg(path));
    return true;
}

bool rootInit(const QString& keyDir, int rootCount, int rootThreshold,
              const QList<QByteArray>& contentKeys, int contentThreshold, qint64 expires,
              const QString& servedDir, QStringList* rootPublicKeys, QString* error)
{
    if (QFileInfo::exists(servedDir + QLatin1Char('/') + contentsig::newestKeysDocumentName()))
        return setError(
            error,
            QStringLiteral("%1 holds a keys document already: rotate instead").arg(servedDir));
    if (rootCount < 1 || rootCount > contentsig::MaxKeys)
        return setError(error, QStringLiteral("from 1 to %1 root keys").arg(contentsig::MaxKeys));
    contentsig::KeysDocument doc;
    doc.version = 1;
    doc.expires = expires;
    doc.contentKeys = contentKeys;
    doc.contentThreshold = contentThreshold;
    doc.rootThreshold = rootThreshold;
    QList<QByteArray> secretKeys;
    QDir().mkpath(keyDir);
    for (int i = 1; i <= rootCount; ++i) {
        QString hex;
        QByteArray secretKey;
        const QString file = QDir(keyDir).filePath(QStringLiteral("root-%1.key").arg(i));
        if (!generateKey(file, &hex, error) || !loadSigningKey(file, &secretKey, error))
            return false;
        rootPublicKeys->append(hex);
        doc.rootKeys.append(QByteArray::fromHex(hex.toLatin1()));
        secretKeys.append(secretKey);
    }
    return writeKeysDocument(servedDir, doc, secretKeys, error);
}

bool rotate(const QString& servedDir, const KeysChange& change,
            const QList<QByteArray>& signingKeys, contentsig::KeysDocument* written, QString* error)
{
    contentsig::KeysDocument current;
    if (!readNewestKeys(servedDir, &current, error))
        return false;
    contentsig::KeysDocument next = current;
    next.version = current.version + 1;
    next.expires = change.expires;
    if (change.contentThreshold > 0)
        next.contentThreshold = change.contentThreshold;
    if (change.rootThreshold > 0)
        next.rootThreshold = change.rootThreshold;
    if (!applyChange(&next.contentKeys, change.addContent, change.removeContent,
                     QStringLiteral("content"), error) ||
        !applyChange(&next.rootKeys, change.addRoot, change.removeRoot, QStringLiteral("root"),
                     error))
        return false;
    const int old = signedBy(signingKeys, current.rootKeys),
              own = signedBy(signingKeys, next.rootKeys);
    if (old < current.rootThreshold || own < next.rootThreshold)
        return setError(error, QStringLiteral("version %1 needs %2 of the current root keys "
                                              "(given %3) and %4 of its own (given %5)")
                                   .arg(next.version)
                                   .arg(current.rootThreshold)
                                   .arg(old)
                                   .arg(next.rootThreshold)
                                   .arg(own));
    *written = next;
    return writeKeysDocument(servedDir, next, signingKeys, error);
}

} // namespace publish

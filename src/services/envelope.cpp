// Signed envelopes: which keys signed a statement, and signing one.
#include "services/envelope.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <sodium.h>

namespace contentsig
{

namespace
{

const QLatin1String CosignaturesMember("cosignatures");

bool initSodium()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

const uchar* bytes(const QByteArray& b)
{
    return reinterpret_cast<const uchar*>(b.constData());
}

bool verifies(const QByteArray& signature, const QByteArray& message, const QByteArray& key)
{
    return signature.size() == SignatureBytes && key.size() == crypto_sign_PUBLICKEYBYTES &&
           crypto_sign_verify_detached(bytes(signature), bytes(message), quint64(message.size()),
                                       bytes(key)) == 0;
}

QByteArray sign(const QByteArray& message, const QByteArray& secretKey)
{
    QByteArray signature(SignatureBytes, Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<uchar*>(signature.data()), nullptr, bytes(message),
                         quint64(message.size()), bytes(secretKey));
    return signature;
}

// What every cosignature signs.
QByteArray cosigned(QJsonObject statement)
{
    statement.remove(CosignaturesMember);
    return QJsonDocument(statement).toJson(QJsonDocument::Compact);
}

struct Cosignature {
    QByteArray key, signature;
};

// False when the member is there but is no list of at most MaxSigners
// well-formed entries.
bool readCosignatures(const QJsonObject& statement, QList<Cosignature>* out)
{
    static const QRegularExpression keyHex(QStringLiteral("^[0-9a-f]{64}$"));
    static const QRegularExpression signatureHex(QStringLiteral("^[0-9a-f]{128}$"));
    const QJsonValue member = statement.value(CosignaturesMember);
    if (member.isUndefined())
        return true;
    const QJsonArray entries = member.toArray();
    if (!member.isArray() || entries.size() > MaxSigners)
        return false;
    for (const QJsonValue& v : entries) {
        const QString key = v.toObject().value(QLatin1String("key")).toString();
        const QString signature = v.toObject().value(QLatin1String("signature")).toString();
        if (!keyHex.match(key).hasMatch() || !signatureHex.match(signature).hasMatch())
            return false;
        out->append(
            {QByteArray::fromHex(key.toLatin1()), QByteArray::fromHex(signature.toLatin1())});
    }
    return true;
}

} // namespace

QByteArray envelopeStatement(const QByteArray& envelope)
{
    return envelope.size() > SignatureBytes ? envelope.mid(SignatureBytes) : QByteArray();
}

QList<QByteArray> envelopeSigners(const QByteArray& envelope, const QList<QByteArray>& candidates,
                                  QJsonObject* statement)
{
    *statement = QJsonObject();
    const QByteArray text = envelopeStatement(envelope);
    if (envelope.size() > MaxEnvelopeBytes || text.isEmpty() || !initSodium())
        return {};
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    QList<Cosignature> cosignatures;
    if (error.error != QJsonParseError::NoError || !doc.isObject() ||
        !readCosignatures(doc.object(), &cosignatures))
        return {};
    *statement = doc.object();
    const QByteArray first = envelope.left(SignatureBytes);
    const QByteArray message = cosignatures.isEmpty() ? QByteArray() : cosigned(*statement);
    QList<QByteArray> signers;
    for (const QByteArray& key : candidates) {
        bool signedIt = !signers.contains(key) && verifies(first, text, key);
        for (const Cosignature& c : qAsConst(cosignatures))
            signedIt = signedIt || (c.key == key && !signers.contains(key) &&
                                    verifies(c.signature, message, key));
        if (signedIt)
            signers.append(key);
    }
    return signers;
}

QByteArray makeEnvelope(const QJsonObject& statement, const QList<QByteArray>& secretKeys)
{
    if (secretKeys.isEmpty() || !initSodium())
        return QByteArray();
    QJsonObject whole = statement;
    if (secretKeys.size() > 1) {
        const QByteArray message = cosigned(statement);
        QJsonArray cosignatures;
        for (const QByteArray& secretKey : secretKeys.mid(1)) {
            QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized);
            crypto_sign_ed25519_sk_to_pk(reinterpret_cast<uchar*>(publicKey.data()),
                                         bytes(secretKey));
            cosignatures.append(
                QJsonObject{{QStringLiteral("key"), QString::fromLatin1(publicKey.toHex())},
                            {QStringLiteral("signature"),
                             QString::fromLatin1(sign(message, secretKey).toHex())}});
        }
        whole.insert(CosignaturesMember, cosignatures);
    }
    const QByteArray text = QJsonDocument(whole).toJson(QJsonDocument::Compact);
    return sign(text, secretKeys.first()) + text;
}

} // namespace contentsig

#include "services/contentsignature.h"

#include <QDebug>
#include <QFile>
#include <QNetworkReply>
#include <QRegularExpression>
#include <sodium.h>

namespace contentsig
{

namespace
{

struct KeySet {
    bool configured = false;
    QList<QByteArray> keys;
};

KeySet fromText(const QString& text)
{
    KeySet set;
    bool ok = false;
    set.keys = parseKeys(text, &ok);
    // A list that cannot be read still asks for signatures: with no usable
    // key every document is refused rather than taken unchecked.
    set.configured = !ok || !set.keys.isEmpty();
    return set;
}

KeySet& keySet()
{
    static KeySet set = fromText(QString::fromLatin1(buildContentKeys));
    return set;
}

bool initSodium()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool verifyBytes(const uchar* data, quint64 size, const QByteArray& signature)
{
    if (signature.size() != SignatureBytes || !initSodium())
        return false;
    for (const QByteArray& key : qAsConst(keySet().keys)) {
        if (crypto_sign_verify_detached(reinterpret_cast<const uchar*>(signature.constData()), data,
                                        size, reinterpret_cast<const uchar*>(key.constData())) == 0)
            return true;
    }
    return false;
}

bool refuse(const QString& reason, const QString& url)
{
    qDebug().noquote() << QStringLiteral("signature %1: %2").arg(reason, url);
    return false;
}

} // namespace

bool required()
{
    return keySet().configured;
}

bool setKeys(const QString& commaSeparatedHex)
{
    bool ok = false;
    parseKeys(commaSeparatedHex, &ok);
    if (ok)
        keySet() = fromText(commaSeparatedHex);
    return ok;
}

QList<QByteArray> parseKeys(const QString& text, bool* ok)
{
    static const QRegularExpression hexKey(QStringLiteral("^[0-9a-fA-F]{64}$"));
    QList<QByteArray> keys;
    *ok = true;
    if (text.trimmed().isEmpty())
        return keys;
    for (const QString& item : text.split(QLatin1Char(','))) {
        const QString hex = item.trimmed();
        if (!hexKey.match(hex).hasMatch()) {
            *ok = false;
            return {};
        }
        keys.append(QByteArray::fromHex(hex.toLatin1()));
    }
    return keys;
}

QString signatureUrl(const QString& url)
{
    const int query = url.indexOf(QLatin1Char('?'));
    if (query < 0)
        return url + QStringLiteral(".sig");
    return url.left(query) + QStringLiteral(".sig") + url.mid(query);
}

bool verify(const QByteArray& document, const QByteArray& signature)
{
    return verifyBytes(reinterpret_cast<const uchar*>(document.constData()),
                       quint64(document.size()), signature);
}

Signature Signature::fromReply(QNetworkReply* reply)
{
    Signature s;
    if (reply->error() != QNetworkReply::NoError)
        return s;
    // One byte more than a signature is enough to tell a wrong size.
    s.bytes = reply->read(SignatureBytes + 1);
    s.state = s.bytes.size() == SignatureBytes ? State::Received : State::Unreadable;
    return s;
}

bool Signature::admits(const QByteArray& document, const QString& url) const
{
    return admitsBytes(reinterpret_cast<const uchar*>(document.constData()),
                       quint64(document.size()), url);
}

bool Signature::admitsFile(const QString& path, const QString& url) const
{
    if (!required())
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("not checked, file unreadable"), url);
    const qint64 size = file.size();
    // An empty file cannot be mapped; its bytes are no bytes.
    const uchar* data = size > 0 ? file.map(0, size) : nullptr;
    if (size > 0 && !data)
        return refuse(QStringLiteral("not checked, file unreadable"), url);
    return admitsBytes(data, quint64(size), url);
}

bool Signature::admitsBytes(const uchar* data, quint64 size, const QString& url) const
{
    if (!required())
        return true;
    if (state == State::Missing)
        return refuse(QStringLiteral("missing"), url);
    if (state == State::Unreadable)
        return refuse(QStringLiteral("unreadable"), url);
    if (!verifyBytes(data, size, bytes))
        return refuse(QStringLiteral("invalid"), url);
    return true;
}

} // namespace contentsig

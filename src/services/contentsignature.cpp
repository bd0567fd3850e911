#include "services/contentsignature.h"

#include "base/updatetypes.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QUrl>
#include <cmath>
#include <sodium.h>

namespace contentsig
{

const char* const StatementType = "drevna-signed-document-1";

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

bool verifyBytes(const QByteArray& data, const QByteArray& signature)
{
    if (signature.size() != SignatureBytes || !initSodium())
        return false;
    for (const QByteArray& key : qAsConst(keySet().keys)) {
        if (crypto_sign_verify_detached(reinterpret_cast<const uchar*>(signature.constData()),
                                        reinterpret_cast<const uchar*>(data.constData()),
                                        quint64(data.size()),
                                        reinterpret_cast<const uchar*>(key.constData())) == 0)
            return true;
    }
    return false;
}

bool refuse(const QString& reason, const QString& url)
{
    qDebug().noquote() << QStringLiteral("signature %1: %2").arg(reason, url);
    return false;
}

struct Record {
    QString folder;
    QHash<QString, qint64> sequences;
};

Record& record()
{
    static Record r;
    return r;
}

void noteAccepted(const QString& name, qint64 sequence)
{
    Record& r = record();
    if (r.sequences.value(name, -1) >= sequence)
        return;
    r.sequences.insert(name, sequence);
    if (r.folder.isEmpty())
        return;
    QJsonObject o;
    for (auto it = r.sequences.constBegin(); it != r.sequences.constEnd(); ++it)
        o.insert(it.key(), double(it.value()));
    if (!writeFile(r.folder + QLatin1Char('/') + recordFileName(), QJsonDocument(o).toJson()))
        qDebug() << "signature record not written in" << r.folder;
}

// A whole number from 0 to 2^53, which a JSON number holds exactly.
bool wholeNumber(const QJsonValue& v, qint64* out)
{
    const double d = v.toDouble(-1);
    if (!v.isDouble() || d < 0 || d > 9007199254740992.0 || std::floor(d) != d)
        return false;
    *out = qint64(d);
    return true;
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

QString documentName(const QString& base, const QString& url)
{
    QString b = base, u = url;
    b.replace(QLatin1Char('\\'), QLatin1Char('/'));
    u.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!u.startsWith(b))
        return QString();
    QString name = u.mid(b.size()).section(QLatin1Char('?'), 0, 0);
    while (name.startsWith(QLatin1Char('/')))
        name.remove(0, 1);
    return name;
}

QString kindName(Kind kind)
{
    switch (kind) {
    case Kind::Version:
        return QStringLiteral("version");
    case Kind::Config:
        return QStringLiteral("config");
    case Kind::PatchList:
        return QStringLiteral("patchlist");
    case Kind::FileList:
        return QStringLiteral("filelist");
    case Kind::Setup:
        break;
    }
    return QStringLiteral("setup");
}

QByteArray Statement::toJson() const
{
    QJsonObject o{{QStringLiteral("type"), QLatin1String(StatementType)},
                  {QStringLiteral("kind"), kind},
                  {QStringLiteral("name"), name},
                  {QStringLiteral("length"), double(length)},
                  {QStringLiteral("sha256"), QString::fromLatin1(sha256.toHex())},
                  {QStringLiteral("sequence"), double(sequence)}};
    if (expires > 0)
        o.insert(QStringLiteral("expires"), double(expires));
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

bool Statement::fromJson(const QByteArray& json, Statement* s)
{
    static const QRegularExpression hexDigest(QStringLiteral("^[0-9a-f]{64}$"));
    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(json, &error).object();
    if (error.error != QJsonParseError::NoError ||
        o.value(QStringLiteral("type")).toString() != QLatin1String(StatementType))
        return false;
    s->kind = o.value(QStringLiteral("kind")).toString();
    s->name = o.value(QStringLiteral("name")).toString();
    const QString digest = o.value(QStringLiteral("sha256")).toString();
    s->sha256 = QByteArray::fromHex(digest.toLatin1());
    s->expires = 0;
    const QJsonValue expires = o.value(QStringLiteral("expires"));
    return !s->kind.isEmpty() && !s->name.isEmpty() && hexDigest.match(digest).hasMatch() &&
           wholeNumber(o.value(QStringLiteral("length")), &s->length) &&
           wholeNumber(o.value(QStringLiteral("sequence")), &s->sequence) &&
           (expires.isUndefined() || wholeNumber(expires, &s->expires));
}

QByteArray envelopeStatement(const QByteArray& envelope)
{
    return envelope.size() > SignatureBytes ? envelope.mid(SignatureBytes) : QByteArray();
}

void setRecordFolder(const QString& folder)
{
    // The file is the truth whenever there is one: what an earlier start
    // accepted holds for this one too.
    Record& r = record();
    r.folder = folder;
    if (folder.isEmpty())
        return;
    r.sequences.clear();
    const QString path = folder + QLatin1Char('/') + recordFileName();
    removeInterruptedWrites(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject o = QJsonDocument::fromJson(file.read(MaxEnvelopeBytes)).object();
    for (auto it = o.constBegin(); it != o.constEnd(); ++it) {
        qint64 sequence = 0;
        if (wholeNumber(it.value(), &sequence))
            r.sequences.insert(it.key(), sequence);
    }
}

QString recordFileName()
{
    return QStringLiteral("contentsequence.json");
}

qint64 acceptedSequence(const QString& name)
{
    return record().sequences.value(name, 0);
}

Signature Signature::fromReply(QNetworkReply* reply, const Expectation& expected)
{
    if (reply->error() != QNetworkReply::NoError)
        return Signature();
    return fromEnvelope(reply->read(MaxEnvelopeBytes + 1), expected);
}

Signature Signature::fromEnvelope(const QByteArray& envelope, const Expectation& expected)
{
    Signature s;
    const QByteArray statement = envelopeStatement(envelope);
    s.state = State::Unreadable;
    if (envelope.size() > MaxEnvelopeBytes || statement.isEmpty())
        return s;
    s.state = State::Invalid;
    if (!verifyBytes(statement, envelope.left(SignatureBytes)))
        return s;
    s.state = State::Unreadable;
    if (!Statement::fromJson(statement, &s.statement))
        return s;
    if (s.statement.kind != kindName(expected.kind) || s.statement.name != expected.name)
        s.state = State::OtherDocument;
    else if (s.statement.expires > 0 && QDateTime::currentSecsSinceEpoch() >= s.statement.expires)
        s.state = State::Expired;
    else if (s.statement.sequence < qMax(expected.minSequence, acceptedSequence(expected.name)))
        s.state = State::Older;
    else
        s.state = State::Received;
    return s;
}

qint64 Signature::lengthLimit(qint64 fallback) const
{
    return state == State::Received ? statement.length : fallback;
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
    switch (state) {
    case State::Missing:
        return refuse(QStringLiteral("missing"), url);
    case State::Unreadable:
        return refuse(QStringLiteral("unreadable"), url);
    case State::Invalid:
        return refuse(QStringLiteral("invalid"), url);
    case State::OtherDocument:
        return refuse(QStringLiteral("made for %1 %2").arg(statement.kind, statement.name), url);
    case State::Expired:
        return refuse(QStringLiteral("expired"), url);
    case State::Older:
        return refuse(QStringLiteral("older than accepted (sequence %1)").arg(statement.sequence),
                      url);
    case State::Received:
        break;
    }
    if (size != quint64(statement.length))
        return refuse(QStringLiteral("invalid"), url);
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    // addData takes an int: a setup program past 2 GiB goes in slices.
    for (quint64 done = 0; done < size;) {
        const int slice = int(qMin<quint64>(size - done, 1u << 30));
        sha256.addData(reinterpret_cast<const char*>(data + done), slice);
        done += quint64(slice);
    }
    if (sha256.result() != statement.sha256)
        return refuse(QStringLiteral("invalid"), url);
    noteAccepted(statement.name, statement.sequence);
    return true;
}

} // namespace contentsig

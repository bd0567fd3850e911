#include "services/contentsignature.h"

#include "base/updatetypes.h"
#include "services/keysdocument.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>
#include <cmath>

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

// The keys that may sign content now and how many of them must; false,
// with why, when none may.
bool contentKeys(QList<QByteArray>* keys, int* threshold, QString* why)
{
    if (rootKeysConfigured())
        return keysInForce(keys, threshold, why);
    *keys = keySet().keys;
    *threshold = 1;
    return true;
}

// The step lists of the patch list admitted last in this process. Known,
// with root keys, once one was: a step list must then match its entry.
// (A run resumed after a restart has none; its chain's digests still bind
// the files.)
struct Snapshot {
    bool known = false;
    QMap<QString, Listed> lists;
};

Snapshot& snapshot()
{
    static Snapshot s;
    return s;
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

bool saveRecord()
{
    const Record& r = record();
    if (r.folder.isEmpty())
        return true;
    QJsonObject o;
    for (auto it = r.sequences.constBegin(); it != r.sequences.constEnd(); ++it)
        o.insert(it.key(), double(it.value()));
    return writeFile(r.folder + QLatin1Char('/') + recordFileName(), QJsonDocument(o).toJson());
}

// False when the new sequence could not be kept: a document whose sequence
// is forgotten at the next start could be replayed below it then.
bool noteAccepted(const QString& name, qint64 sequence)
{
    Record& r = record();
    if (r.sequences.value(name, -1) >= sequence)
        return true;
    const qint64 before = r.sequences.value(name, -1);
    r.sequences.insert(name, sequence);
    if (saveRecord())
        return true;
    if (before < 0)
        r.sequences.remove(name);
    else
        r.sequences.insert(name, before);
    return false;
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

bool readListed(const QJsonObject& o, Listed* listed)
{
    static const QRegularExpression hexDigest(QStringLiteral("^[0-9a-f]{64}$"));
    const QString digest = o.value(QStringLiteral("sha256")).toString();
    listed->sha256 = QByteArray::fromHex(digest.toLatin1());
    return hexDigest.match(digest).hasMatch() &&
           wholeNumber(o.value(QStringLiteral("length")), &listed->length);
}

} // namespace

bool required()
{
    return keySet().configured || rootKeysConfigured();
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

QJsonObject Statement::toObject() const
{
    QJsonObject o{{QStringLiteral("type"), QLatin1String(StatementType)},
                  {QStringLiteral("kind"), kind},
                  {QStringLiteral("name"), name},
                  {QStringLiteral("length"), double(length)},
                  {QStringLiteral("sha256"), QString::fromLatin1(sha256.toHex())},
                  {QStringLiteral("sequence"), double(sequence)}};
    if (expires > 0)
        o.insert(QStringLiteral("expires"), double(expires));
    if (hasLists) {
        QJsonObject listed;
        for (auto it = lists.constBegin(); it != lists.constEnd(); ++it)
            listed.insert(it.key(),
                          QJsonObject{{QStringLiteral("length"), double(it.value().length)},
                                      {QStringLiteral("sha256"),
                                       QString::fromLatin1(it.value().sha256.toHex())}});
        o.insert(QStringLiteral("lists"), listed);
    }
    return o;
}

QByteArray Statement::toJson() const
{
    return QJsonDocument(toObject()).toJson(QJsonDocument::Compact);
}

bool Statement::fromObject(const QJsonObject& o, Statement* s)
{
    if (o.value(QStringLiteral("type")).toString() != QLatin1String(StatementType))
        return false;
    Listed document;
    s->kind = o.value(QStringLiteral("kind")).toString();
    s->name = o.value(QStringLiteral("name")).toString();
    s->expires = 0;
    const QJsonValue expires = o.value(QStringLiteral("expires"));
    const QJsonValue lists = o.value(QStringLiteral("lists"));
    s->hasLists = lists.isObject();
    s->lists.clear();
    const QJsonObject listed = lists.toObject();
    for (auto it = listed.constBegin(); it != listed.constEnd(); ++it) {
        if (!readListed(it.value().toObject(), &s->lists[it.key()]))
            return false;
    }
    const bool sound = !s->kind.isEmpty() && !s->name.isEmpty() && readListed(o, &document) &&
                       wholeNumber(o.value(QStringLiteral("sequence")), &s->sequence) &&
                       (expires.isUndefined() || wholeNumber(expires, &s->expires)) &&
                       (lists.isUndefined() || s->hasLists);
    s->length = document.length;
    s->sha256 = document.sha256;
    return sound;
}

bool Statement::fromJson(const QByteArray& json, Statement* s)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    return error.error == QJsonParseError::NoError && fromObject(doc.object(), s);
}

void setRecordFolder(const QString& folder)
{
    // The file is the truth whenever there is one: what an earlier start
    // accepted holds for this one too.
    Record& r = record();
    r.folder = folder;
    loadTrustedKeys(folder);
    if (folder.isEmpty())
        return;
    r.sequences.clear();
    const QString path = folder + QLatin1Char('/') + recordFileName();
    removeInterruptedWrites(path);
    QFile file(path);
    if (!file.exists())
        return;
    // Whatever cannot be read is said so: the sequences are gone, and only
    // the installed-version floor still holds against older lists.
    QJsonParseError error{};
    const QJsonDocument doc = file.open(QIODevice::ReadOnly) && file.size() <= MaxRecordBytes
                                  ? QJsonDocument::fromJson(file.read(MaxRecordBytes), &error)
                                  : QJsonDocument();
    bool whole = doc.isObject() && error.error == QJsonParseError::NoError;
    const QJsonObject o = doc.object();
    for (auto it = o.constBegin(); it != o.constEnd(); ++it) {
        qint64 sequence = 0;
        if (wholeNumber(it.value(), &sequence))
            r.sequences.insert(it.key(), sequence);
        else
            whole = false;
    }
    if (!whole)
        qDebug().noquote() << "sequence record unreadable, sequences forgotten:" << path;
}

bool clearRecord()
{
    record().sequences.clear();
    return saveRecord();
}

void pruneRecord(const QSet<QString>& listedFileLists)
{
    // File lists are the only names that come and go with publications.
    Record& r = record();
    bool pruned = false;
    for (auto it = r.sequences.begin(); it != r.sequences.end();) {
        if (it.key().endsWith(QLatin1String("patchfiles.json")) &&
            !listedFileLists.contains(it.key())) {
            it = r.sequences.erase(it);
            pruned = true;
        } else {
            ++it;
        }
    }
    if (pruned && !saveRecord())
        qDebug() << "sequence record not written in" << r.folder;
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
    QList<QByteArray> keys;
    s.state = State::Untrusted;
    if (!contentKeys(&keys, &s.threshold, &s.untrusted))
        return s;
    QJsonObject object;
    s.signers = envelopeSigners(envelope, keys, &object).size();
    const Snapshot& known = snapshot();
    if (envelope.size() > MaxEnvelopeBytes || object.isEmpty())
        s.state = State::Unreadable;
    else if (s.signers == 0)
        s.state = State::Invalid;
    else if (s.signers < s.threshold)
        s.state = State::BelowThreshold;
    else if (!Statement::fromObject(object, &s.statement))
        s.state = State::Unreadable;
    else if (s.statement.kind != kindName(expected.kind) || s.statement.name != expected.name)
        s.state = State::OtherDocument;
    else if (s.statement.expires > 0 && QDateTime::currentSecsSinceEpoch() >= s.statement.expires)
        s.state = State::Expired;
    else if (expected.kind == Kind::FileList && known.known &&
             !(known.lists.value(expected.name, Listed{-1, {}}) ==
               Listed{s.statement.length, s.statement.sha256}))
        s.state = State::NotInSnapshot;
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
    case State::Untrusted:
        return refuse(untrusted, url);
    case State::BelowThreshold:
        return refuse(QStringLiteral("below threshold (%1 of %2 keys)").arg(signers).arg(threshold),
                      url);
    case State::NotInSnapshot:
        return refuse(QStringLiteral("does not match the snapshot"), url);
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
    if (!noteAccepted(statement.name, statement.sequence))
        return refuse(QStringLiteral("not recorded, %1 not written").arg(recordFileName()), url);
    if (statement.kind == kindName(Kind::PatchList))
        snapshot() = {rootKeysConfigured(), statement.lists};
    return true;
}

} // namespace contentsig

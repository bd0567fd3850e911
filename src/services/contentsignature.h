#pragma once

#include "services/envelope.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

class QNetworkReply;

// The operator's public keys as the build sets them: 64 hex characters per
// key, separated by commas; empty for none.
extern const char* const buildContentKeys;

// Signed envelopes on the update documents and the setup program. A
// document's envelope lives beside it under its name plus ".sig" (see
// envelope.h): its statement names the document, its kind, length and
// SHA-256, a publication sequence and an optional expiry; the patch list's
// also names every step list (the snapshot). The keys that may sign are the
// build's own content keys, or, with root keys built in, those of the
// trusted keys document (keysdocument.h), of which a threshold must sign.
// With no key configured nothing is checked and no envelope is requested.
namespace contentsig
{

// Without a signed length, the most a document may hold: room for the file
// list of a game of several hundred thousand files.
constexpr qint64 MaxDocumentBytes = 64 * 1024 * 1024;
// The statement's "type": a signature made for anything else never fits.
extern const char* const StatementType;

// Whether signatures are required, i.e. whether any content or root key is
// configured.
bool required();

// Replaces the build's content keys. For tests and tools; call it before any
// request is made. False, with nothing changed, when the text is no list of
// keys.
bool setKeys(const QString& commaSeparatedHex);

// Keys from "hex,hex,...": an empty list for empty text; ok false when any
// item is not 64 hex characters.
QList<QByteArray> parseKeys(const QString& text, bool* ok);

// Where url's envelope lives: ".sig" added to its path, before any query.
QString signatureUrl(const QString& url);

// url's name below base: the part after base, without query or leading "/";
// empty when url does not lie below base.
QString documentName(const QString& base, const QString& url);

// The kinds of signed document, as the statement's "kind" spells them.
enum class Kind { Version, Config, PatchList, FileList, Setup };
QString kindName(Kind kind);

// A document by its length and SHA-256.
struct Listed {
    qint64 length = 0;
    QByteArray sha256; // 32 bytes
    bool operator==(const Listed& o) const { return length == o.length && sha256 == o.sha256; }
};

// What an envelope states about its document.
struct Statement {
    QString kind;
    QString name;
    qint64 length = 0;
    QByteArray sha256; // 32 bytes
    qint64 sequence = 0;
    qint64 expires = 0; // seconds since 1970 UTC; 0: never
    // A patch list's snapshot: every step list by its name below the base.
    QMap<QString, Listed> lists{};
    bool hasLists = false;

    QJsonObject toObject() const;
    QByteArray toJson() const;
    // False when the object is no complete statement of StatementType.
    static bool fromObject(const QJsonObject& object, Statement* statement);
    static bool fromJson(const QByteArray& json, Statement* statement);
};

// The highest sequences accepted so far, kept per document name in a small
// record in folder (beside localversion.json). An empty folder keeps them
// for this process only. A document whose sequence cannot be written there
// is refused.
void setRecordFolder(const QString& folder);
QString recordFileName();
qint64 acceptedSequence(const QString& name);
// Forgets every accepted sequence: the content keys changed.
bool clearRecord();
// Forgets the file lists (names ending in "patchfiles.json") that the
// current patch list no longer names, so that the record stays small.
void pruneRecord(const QSet<QString>& listedFileLists);
// A record past this is damaged: pruned, it holds a few hundred names.
constexpr qint64 MaxRecordBytes = 4 * 1024 * 1024;

// What the fetch of a document expects of its envelope.
struct Expectation {
    Kind kind = Kind::Version;
    QString name;
    // A document reached through another (a step's list through the patch
    // list, the setup program through the version file) is at least as new.
    qint64 minSequence = 0;
};

// What the request for an envelope brought back, judged against what the
// fetch expects.
class Signature
{
public:
    // Nothing received: admits documents only while no key is configured.
    Signature() = default;
    static Signature fromReply(QNetworkReply* reply, const Expectation& expected);
    static Signature fromEnvelope(const QByteArray& envelope, const Expectation& expected);

    // Whether document (as served from url) may be used. Always true without
    // keys; a refusal writes one log line naming its reason and url. An
    // admitted document's sequence becomes the record of its name.
    bool admits(const QByteArray& document, const QString& url) const;
    // The same for a file on disk, read without copying it.
    bool admitsFile(const QString& path, const QString& url) const;

    // The most bytes the document may have: its signed length once a sound
    // envelope is in, else fallback.
    qint64 lengthLimit(qint64 fallback) const;
    qint64 sequence() const { return statement.sequence; }

private:
    bool admitsBytes(const uchar* data, quint64 size, const QString& url) const;
    enum class State {
        Missing,
        Unreadable,
        Invalid,
        Untrusted,
        BelowThreshold,
        OtherDocument,
        Expired,
        NotInSnapshot,
        Older,
        Received
    };
    State state = State::Missing;
    Statement statement;
    // Why no key may sign (Untrusted); the distinct signers and the
    // threshold (BelowThreshold).
    QString untrusted;
    int signers = 0, threshold = 1;
};

} // namespace contentsig

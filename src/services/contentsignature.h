#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class QNetworkReply;

// The operator's public keys as the build sets them: 64 hex characters per
// key, separated by commas; empty for none.
extern const char* const buildContentKeys;

// Detached Ed25519 signatures on the update documents and the setup program.
// A document's signature lives beside it under its name plus ".sig". With no
// key configured nothing is checked and no signature is requested.
namespace contentsig
{

constexpr int SignatureBytes = 64;

// Whether signatures are required, i.e. whether any key is configured.
bool required();

// Replaces the keys in force (by default the build's). For tests and tools;
// call it before any request is made. False, with nothing changed, when the
// text is no list of keys.
bool setKeys(const QString& commaSeparatedHex);

// Keys from "hex,hex,...": an empty list for empty text; ok false when any
// item is not 64 hex characters.
QList<QByteArray> parseKeys(const QString& text, bool* ok);

// Where url's signature lives: ".sig" added to its path, before any query.
QString signatureUrl(const QString& url);

// True when signature is a valid signature of document by one of the keys.
bool verify(const QByteArray& document, const QByteArray& signature);

// What the request for a signature brought back.
class Signature
{
public:
    // Nothing received: admits documents only while no key is configured.
    Signature() = default;
    static Signature fromReply(QNetworkReply* reply);

    // Whether document (as served from url) may be used. Always true without
    // keys; a refusal writes one log line naming its reason and url.
    bool admits(const QByteArray& document, const QString& url) const;
    // The same for a file on disk, read without copying it.
    bool admitsFile(const QString& path, const QString& url) const;

private:
    bool admitsBytes(const uchar* data, quint64 size, const QString& url) const;
    enum class State { Missing, Unreadable, Received };
    State state = State::Missing;
    QByteArray bytes;
};

} // namespace contentsig

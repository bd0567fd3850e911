#pragma once

// The keys document: the content keys that the offline root keys trust, and
// its chain of versions from the root keys built into the launcher.
//
// Version N lies below the content server's root as keys/N.sig, an envelope
// whose statement names the content keys and their threshold, the root keys
// and theirs, the version and an expiry. Version N+1 is trusted only when a
// threshold of version N's root keys (for the first, the launcher's own) and
// a threshold of its own root keys signed it. The newest trusted one is kept
// beside the other records; while it has expired no content is admitted.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// The root public keys as the build sets them ("hex,hex,..." or empty) and
// their threshold (decimal text; empty means 1).
extern const char* const buildRootKeys;
extern const char* const buildRootThreshold;

namespace contentsig
{

// The statement's "type" of a keys document.
extern const char* const KeysType;
// The most keys of either kind one document names.
constexpr int MaxKeys = 32;
// The most versions one start takes in; the rest wait for the next start.
constexpr int MaxKeysVersionsPerStart = 64;

struct KeysDocument {
    qint64 version = 0; // 0: none
    qint64 expires = 0; // seconds since 1970 UTC
    QList<QByteArray> contentKeys;
    int contentThreshold = 1;
    QList<QByteArray> rootKeys;
    int rootThreshold = 1;

    QJsonObject toObject() const;
    // False when statement is no sound keys document: keys that are not 64
    // hex characters, repeated or more than MaxKeys, a threshold outside 1
    // to the number of keys, a version or expiry that is no whole number.
    static bool fromObject(const QJsonObject& statement, KeysDocument* keys);
};

// Where version lies below the content server's root, and the name that
// always holds the newest one (for operators; the launcher reads the
// versioned ones).
QString keysDocumentName(qint64 version);
QString newestKeysDocumentName();
// The trusted document's copy in the record folder.
QString trustedKeysFileName();

// Whether the launcher trusts root keys (and content keys only through the
// keys document) rather than content keys of its own.
bool rootKeysConfigured();
// Replaces the build's root keys, forgetting any trusted document; empty
// text turns the chain off. For tests and tools; false, with nothing
// changed, for text that is no list of keys or a threshold out of range.
bool setRootKeys(const QString& commaSeparatedHex, int threshold);

// Judges envelope (fetched from url) as the version after the trusted one.
// Trusted, it is kept in the record folder and in force, and when its
// content keys differ from the previous version's the sequence record is
// cleared: what a stolen key signed no longer holds back what its
// successors sign. One log line either way.
bool trustNextKeys(const QByteArray& envelope, const QString& url);
qint64 trustedKeysVersion();
// Takes the document kept in folder as the trusted one; none when there is
// none or it is damaged (said in the log).
void loadTrustedKeys(const QString& folder);

// The content keys in force and their threshold; false, with why set, when
// no document is trusted or it has expired.
bool keysInForce(QList<QByteArray>* keys, int* threshold, QString* why);

} // namespace contentsig

#pragma once

// The offline root of trust: root keys and the versions of the keys
// document, written below the folder served at the content server's root.

#include "services/keysdocument.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace publish
{

// A public key given as 64 hex characters or as a key file.
bool publicKeyArg(const QString& arg, QByteArray* key, QString* error);

// Writes version doc as keys/N.sig and as keys.sig below servedDir, signed
// by every one of secretKeys. Checks nothing but the document's own form.
bool writeKeysDocument(const QString& servedDir, const contentsig::KeysDocument& doc,
                       const QList<QByteArray>& secretKeys, QString* error);
// The newest version below servedDir (keys.sig) as written there.
bool readNewestKeys(const QString& servedDir, contentsig::KeysDocument* doc, QString* error);

// Makes rootCount root keys in keyDir (root-1.key, ...) and version 1 of the
// keys document, which names them with rootThreshold and contentKeys with
// contentThreshold, signed by all of them. Refuses a servedDir that already
// holds a keys document. rootPublicKeys gets the launcher's root keys.
bool rootInit(const QString& keyDir, int rootCount, int rootThreshold,
              const QList<QByteArray>& contentKeys, int contentThreshold, qint64 expires,
              const QString& servedDir, QStringList* rootPublicKeys, QString* error);

// What a new version changes; an empty change renews the expiry only.
struct KeysChange {
    QList<QByteArray> addContent, removeContent, addRoot, removeRoot;
    int contentThreshold = 0; // 0: unchanged
    int rootThreshold = 0;
    qint64 expires = 0;
};

// The next version with change applied, signed by signingKeys: a threshold
// of the current version's root keys and one of the new version's, or it is
// refused (as a launcher would refuse it).
bool rotate(const QString& servedDir, const KeysChange& change,
            const QList<QByteArray>& signingKeys, contentsig::KeysDocument* written,
            QString* error);

} // namespace publish

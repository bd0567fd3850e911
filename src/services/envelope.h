#pragma once

// Signed envelopes: who signed a statement, and how the publisher signs one.
//
// An envelope is a 64-byte Ed25519 signature followed by the statement it
// signs, a UTF-8 JSON object. Further signers add theirs inside the statement,
// as "cosignatures": [{"key": HEX, "signature": HEX}], each over the
// statement without that member, written as Qt writes compact JSON (members
// sorted by name). The first signature covers everything after it, the
// cosignatures included, so a launcher that reads only the first one still
// checks the whole statement.

#include <QByteArray>
#include <QJsonObject>
#include <QList>

namespace contentsig
{

constexpr int SignatureBytes = 64;
// An envelope is small; anything longer is no envelope.
constexpr qint64 MaxEnvelopeBytes = 64 * 1024;
// More signatures than any threshold needs make no envelope either.
constexpr int MaxSigners = 32;

// The statement bytes of an envelope (unchecked); empty when it is too short.
QByteArray envelopeStatement(const QByteArray& envelope);

// The distinct keys among candidates (32-byte public keys) whose signature the
// envelope carries, in the order of candidates; statement is set to the
// parsed statement, empty when it is no JSON object or its cosignatures are
// malformed (then no key has signed).
QList<QByteArray> envelopeSigners(const QByteArray& envelope, const QList<QByteArray>& candidates,
                                  QJsonObject* statement);

// The envelope of statement (without "cosignatures"), signed by each of
// secretKeys (64-byte libsodium secret keys) in turn: the first makes the
// leading signature, the others cosign. Empty when no key is given.
QByteArray makeEnvelope(const QJsonObject& statement, const QList<QByteArray>& secretKeys);

} // namespace contentsig

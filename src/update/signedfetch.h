#pragma once

// The engine's signed documents: fetched envelope first, checked, parsed.

#include "transfer/httpclient.h"

#include <QJsonObject>
#include <functional>

class QNetworkReply;
namespace contentsig
{
class Signature;
enum class Kind;
} // namespace contentsig

// A document's reply together with the signature to check its body by.
using SignedReplyCallback = std::function<void(QNetworkReply*, const contentsig::Signature&)>;

// Fetches the document named by its path below baseUrl: its envelope first
// (only when keys are set), so that its length is known before its body
// comes, then the document itself, each with its own time stamp. A body past
// that length, or past MaxDocumentBytes without keys, is cut off as a failed
// transfer.
void getSignedDocument(HttpClient& http, const QString& baseUrl, const QString& name,
                       contentsig::Kind kind, SignedReplyCallback onFinished);

// The body as a JSON object when the signature admits it; empty when it does
// not or the text is no object. A refused body is never parsed.
QJsonObject admittedJson(const QByteArray& body, const QString& url,
                         const contentsig::Signature& signature);

// Keeps the sequence record to the step lists (with their "_full" twins)
// that the admitted patch list names.
void pruneSequenceRecord(const QJsonObject& patchList);

// Callable from any thread: fetches the signed step list at url (below the
// base address that baseUrl holds when the request is made) on context's
// thread and hands the object, empty on any failure, to onJson there.
void fetchSignedJson(QObject* context, HttpClient& http, const QString& baseUrl, const QString& url,
                     JsonCallback onJson);

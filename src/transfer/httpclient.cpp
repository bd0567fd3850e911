#include "transfer/httpclient.h"

// Stub: filled in by the HTTP helper work.
HttpClient::HttpClient(QObject* parent) : QObject(parent) {}
void HttpClient::httpGet(const QString&, const HeaderMap&, ReplyCallback, ReplyCallback,
                         ProgressCallback)
{
}
void fetchJson(HttpClient*, const QString&, JsonCallback) {}

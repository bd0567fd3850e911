#pragma once

#include <QtGlobal>

class QNetworkReply;

// Production limits of every request: the wait for the first data, and then
// the window in which at least stallMinBytes must arrive.
constexpr int defaultFirstDataTimeoutMs = 5000;
constexpr int defaultStallTimeoutMs = 60000;
constexpr qint64 stallMinBytes = 1024;
// The whole of a document request (not of a download), however it trickles;
// every documentGraceBytes received add one more deadline.
constexpr int defaultDocumentDeadlineMs = 60000;
constexpr qint64 documentGraceBytes = 1024 * 1024;

// Aborts reply when no data comes for firstDataMs after the request, when
// fewer than stallMinBytes arrive within any stallMs after that (a byte now
// and then does not keep it alive), or, with deadlineMs > 0, when it has not
// finished deadlineMs after the request (plus deadlineMs for each
// documentGraceBytes received); with one "download timeout" log
// line. The reply then finishes with the operation-canceled error, which its
// owner handles like any other network error. The guard lives and dies with
// reply.
void guardReply(QNetworkReply* reply, int firstDataMs, int stallMs, int deadlineMs = 0);

// Another transfer of the same server received data: a request that still
// waits for its first data is queued behind the others on a shared
// connection, not facing a dead server, and its wait starts again.
void othersReceived(QNetworkReply* reply);

// Aborts reply, with one "download too long" log line, once its declared or
// received body passes maxBytes. Only for replies read when they finished,
// whose received body is all still buffered.
void limitReply(QNetworkReply* reply, qint64 maxBytes);

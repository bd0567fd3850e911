#pragma once

#include <QtGlobal>

class QNetworkReply;

// Production limits of every request: the wait for the first data, and then
// the window over which the server must deliver at least
// stallMinBytesPerSecond on average.
constexpr int defaultFirstDataTimeoutMs = 5000;
constexpr int defaultStallTimeoutMs = 60000;
constexpr qint64 stallMinBytesPerSecond = 1024;
// The whole of a document request (not of a download), however it trickles;
// every documentGraceBytes received add one more deadline.
constexpr int defaultDocumentDeadlineMs = 60000;
constexpr qint64 documentGraceBytes = 1024 * 1024;

// Aborts reply when its status is 300 or more (an error page or a redirect,
// whose body is not worth waiting for), when no data comes for firstDataMs
// after the request, when the server delivers less than
// stallMinBytesPerSecond averaged over any stallMs after that (a trickle
// does not keep it alive), or, with deadlineMs > 0, when it has not finished
// deadlineMs after the request (plus deadlineMs for each documentGraceBytes
// received); with one "download refused" or "download timeout" log line.
// The reply then finishes with the operation-canceled error, which its owner
// handles like any other network error. The guard lives and dies with reply.
void guardReply(QNetworkReply* reply, int firstDataMs, int stallMs, int deadlineMs = 0);

// Another transfer of the same server received bytes: a request that still
// waits for its first data may be queued behind the others on a shared
// connection, not facing a dead server. Its wait starts again once the
// others have brought stallMinBytesPerSecond over a wait's length, so a
// trickle beside it does not keep it waiting for good.
void othersReceived(QNetworkReply* reply, qint64 bytes);

// Whether the launcher itself holds reply's data back (its bandwidth cap
// leaves received data unread): that time does not count against the server.
void holdBack(QNetworkReply* reply, bool held);

// Aborts reply, with one "download too long" log line, once its declared or
// received body passes maxBytes. Only for replies read when they finished,
// whose received body is all still buffered. The limit stays on the reply as
// bodyLimitProperty, for a redirect to take along.
constexpr const char* bodyLimitProperty = "drevnaBodyLimit";
void limitReply(QNetworkReply* reply, qint64 maxBytes);

#pragma once

class QNetworkReply;

// Production limits of every request: the wait for the first data, and then
// for each further chunk.
constexpr int defaultFirstDataTimeoutMs = 5000;
constexpr int defaultStallTimeoutMs = 60000;

// Aborts reply when no data comes for firstDataMs after the request, or for
// stallMs between later chunks, with one "download timeout" log line. The
// reply then finishes with the operation-canceled error, which its owner
// handles like any other network error. The guard lives and dies with reply.
void guardReply(QNetworkReply* reply, int firstDataMs, int stallMs);

#pragma once

#include <QtGlobal>

// Field access to xdelta3's stream and source structures through plain
// pointers, so that code using the launcher's patch interface need not see
// xdelta3.h itself.
namespace xd3access
{

// The block the library asks for.
quint64 requestedBlock(void* source);
// Hands the library a block of the source.
void serveBlock(void* source, quint64 block, const uchar* data, qint64 count);
// The stream's pending output.
const uchar* pendingOutput(void* stream, qint64* count);

} // namespace xd3access

#include "xd3access.h"

#include "xdelta3.h"

namespace xd3access
{

quint64 requestedBlock(void* source)
{
    return static_cast<xd3_source*>(source)->getblkno;
}

void serveBlock(void* source, quint64 block, const uchar* data, qint64 count)
{
    auto* s = static_cast<xd3_source*>(source);
    s->curblkno = block;
    s->onblk = usize_t(count);
    s->curblk = data;
}

const uchar* pendingOutput(void* stream, qint64* count)
{
    auto* s = static_cast<xd3_stream*>(stream);
    *count = qint64(s->avail_out);
    return s->next_out;
}

} // namespace xd3access

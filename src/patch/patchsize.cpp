#include "patch/patchsize.h"

#include "patch/patchfile.h"

#include <QFile>
#include <cstring>
#include <vector>

extern "C" {
#include "xdelta3.h"
}

qint64 patchOutputSize(const QString& patchPath)
{
    QFile patch(patchPath);
    if (!patch.open(QIODevice::ReadOnly) || !patch.read(PatchHeaderSize).startsWith("PPAK"))
        return -1;
    xd3_stream stream;
    xd3_config config;
    std::memset(&stream, 0, sizeof(stream));
    std::memset(&config, 0, sizeof(config));
    // The windows' sections are skipped, never decoded: no source is needed.
    config.flags = XD3_SKIP_WINDOW;
    if (xd3_config_stream(&stream, &config) != 0) {
        xd3_free_stream(&stream);
        return -1;
    }
    std::vector<char> input(1 << 20);
    qint64 total = 0;
    bool failed = false;
    bool ended = false;
    while (!failed && !ended) {
        const qint64 got = patch.read(input.data(), qint64(input.size()));
        if (got < 0)
            break;
        ended = got < qint64(input.size());
        if (ended)
            stream.flags |= XD3_FLUSH;
        xd3_avail_input(&stream, reinterpret_cast<const uint8_t*>(input.data()), usize_t(got));
        for (bool more = true; more && !failed;) {
            switch (xd3_decode_input(&stream)) {
            case XD3_INPUT:
                more = false;
                break;
            case XD3_OUTPUT:
                xd3_consume_output(&stream);
                break;
            case XD3_WINFINISH:
                total += stream.dec_tgtlen;
                break;
            case XD3_GOTHEADER:
            case XD3_WINSTART:
                break;
            default:
                failed = true;
            }
        }
    }
    // A stream cut inside its header or a window has not declared all of its
    // output; a whole one waits for the next window.
    failed = failed || stream.dec_state != DEC_WININD;
    xd3_close_stream(&stream);
    xd3_free_stream(&stream);
    return failed ? -1 : total;
}

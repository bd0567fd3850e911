// The benches' one source of made-up bytes: a seeded xorshift, so that every
// run makes the same data.
#pragma once

#include <QtGlobal>
#include <cstring>

struct Rng {
    quint64 s;
    quint64 next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    void fill(quint8* p, size_t n)
    {
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            const quint64 v = next();
            std::memcpy(p + i, &v, 8);
        }
        for (; i < n; ++i)
            p[i] = quint8(next());
    }
    qint64 below(qint64 n) { return qint64(next() % quint64(n)); }
    qint64 between(qint64 lo, qint64 hi) { return lo + below(hi - lo + 1); }
};

// A distant server for the benchmarks: forwards LISTEN_PORT to TARGET_PORT
// on loopback, each chunk and close passed on DELAY_MS later in either
// direction (a round trip of twice that); with BYTES_PER_S, the answers of
// every connection share one line of that rate. Runs until killed.
//
//   bench_forward LISTEN_PORT TARGET_PORT DELAY_MS [BYTES_PER_S]
#include "portforwarder.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr,
                     "usage: bench_forward LISTEN_PORT TARGET_PORT DELAY_MS [BYTES_PER_S]\n");
        return 2;
    }
    PortForwarder forwarder(quint16(atoi(argv[1])), quint16(atoi(argv[2])), nullptr, atoi(argv[3]),
                            argc == 5 ? atoll(argv[4]) : 0);
    if (!forwarder.isListening()) {
        std::fprintf(stderr, "bench_forward: port %s is taken\n", argv[1]);
        return 1;
    }
    return app.exec();
}

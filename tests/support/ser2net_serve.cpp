// The ser2net harness as a command, for test sets written in other
// languages (the Wine set): `ser2net_serve PTY` prints "RAW_PORT RFC2217_PORT"
// once both listen, and stops the server when its standard input closes.
#include "ser2net_server.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ser2net_serve PTY\n");
        return 2;
    }
    e2e::Ser2net server;
    if (!server.Start(argv[1])) {
        std::fprintf(stderr, "ser2net_serve: %s\n", server.Error().c_str());
        return 1;
    }
    std::printf("%d %d\n", server.RawPort(), server.Rfc2217Port());
    std::fflush(stdout);
    char buf[64];
    while (read(STDIN_FILENO, buf, sizeof buf) > 0) {
    }
    server.Stop();
    return 0;
}

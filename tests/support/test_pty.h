#pragma once
// A pseudo-terminal pair for tests: the slave's path is the port name given
// to the code under test; the test reads and writes the master side, which
// never blocks.

#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

namespace test_support {

struct PtyPair {
    int master = -1;
    std::string slave; // empty when the pair could not be made

    PtyPair() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            slave = ptsname(master);
            fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        }
    }
    ~PtyPair() {
        if (master >= 0) {
            close(master);
        }
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
};

} // namespace test_support

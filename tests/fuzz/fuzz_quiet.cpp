#include "fuzz_quiet.h"

#include <cstdio>
#include <cstdlib>

void fuzz_Quiet() {
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    if (std::getenv("TARN_FUZZ_VERBOSE") == nullptr) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) {
            std::fprintf(stderr, "cannot silence standard output\n");
        }
    }
}

void fuzz_Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

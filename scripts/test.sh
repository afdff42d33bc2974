#!/usr/bin/env bash
# Every test of the project, as CI runs it:
#   1. a build with warnings fatal, and its test suite;
#   2. the same suite under AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. tarnload.exe cross-built with MinGW-w64 and run under Wine;
#   4. short fuzzing runs and a small fault-injection soak;
#   5. the suite again on the generic POSIX build;
#   6. tarnload on real kernel serial drivers (a 16550 and an FTDI adapter)
#      in a QEMU guest;
#   7. the release files (the .deb, the Windows zip, and the macOS zips
#      cross-built with zig) from a fresh clone, lintian-checked; the .deb
#      installed and purged (the two-clone reproducibility check is
#      scripts/test_package.sh --twice, run before a release);
#   8. the stations recipe over SSH, installed from that package.
# Each stage's time is printed as it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh --with-windows --with-fuzz
jobs=$(nproc)
began=$SECONDS
stage() { # NAME COMMAND...
    local start=$SECONDS
    "${@:2}"
    echo "stage $1: $((SECONDS - start)) s (all: $((SECONDS - began)) s)"
}
suite() { # BUILD_DIR TIMEOUT CMAKE_ARGS...
    cmake -S . -B "$1" -G Ninja -DTARN_WERROR=ON "${@:3}"
    cmake --build "$1"
    ctest --test-dir "$1" --output-on-failure -j"$jobs" --timeout "$2"
}

# The main and the generic POSIX builds share a compiler cache (fresh each
# run): they differ in four files.
export CCACHE_DIR=$PWD/build/ccache CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
rm -rf "$CCACHE_DIR"
stage release suite build/release 120 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
stage asan suite build/asan 240 -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE=ON
stage windows bash -c 'scripts/build_windows.sh && bash scripts/test_wine.sh'
stage fuzz bash scripts/test_fuzz.sh
stage generic bash scripts/test_posix_generic.sh
stage real-drivers bash scripts/test_real_drivers.sh
unset CCACHE_DIR CCACHE_BASEDIR CCACHE_NOHASHDIR
stage package bash scripts/test_package.sh
stage stations bash tests/system/flash_stations.sh --small
echo "all test stages passed"

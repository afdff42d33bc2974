#!/usr/bin/env bash
# Every test of the project, as CI runs it:
#   1. a build with warnings fatal, and its test suite;
#   2. the same suite under AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. tarnload.exe cross-built with MinGW-w64 (and, where the hook exists,
#      run under Wine);
#   4. short fuzzing runs, where the hook exists;
#   5. the suite again on the generic POSIX build;
#   6. tarnload and tarnsim cross-built for macOS (arm64, x86_64);
#   7. the release files: reproducible, installed and purged;
#   8. the stations recipe over SSH, installed from that package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh --with-windows --with-fuzz
jobs=$(nproc)

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_WERROR=ON
cmake --build build/release
ctest --test-dir build/release --output-on-failure -j"$jobs" --timeout 120

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARN_WERROR=ON -DTARN_SANITIZE=ON
cmake --build build/asan
ctest --test-dir build/asan --output-on-failure -j"$jobs" --timeout 240

scripts/build_windows.sh
for step in scripts/test_wine.sh scripts/test_fuzz.sh scripts/test_posix_generic.sh \
    scripts/build_macos.sh; do
    if [ -f "$step" ]; then bash "$step"; fi
done
bash scripts/test_package.sh
bash scripts/flash_stations.sh --small
echo "all test stages passed"

#!/usr/bin/env bash
# Short fuzzing runs of every target under ASan+UBSan, then the soak at its
# small size. Called by scripts/test.sh; also the one command for longer runs:
#
#   scripts/test_fuzz.sh                 # CI: 20 s per target, soak --small
#   scripts/test_fuzz.sh 600             # 10 minutes per target, soak --small
#   FUZZ_TARGETS=bcsp_link scripts/test_fuzz.sh 600   # one target only
#   SOAK=0 scripts/test_fuzz.sh          # fuzzing only
#   python3 bench/soak/soak.py --bin build/asan    # the full soak (200+ updates,
#                                                  # about half an hour), after one run
#
# Targets run one a core, niced.
# Each target starts from its checked-in seeds (tests/fuzz/corpus/<name>);
# what it finds goes to build/fuzz/corpus/<name>, crash inputs to
# build/fuzz/artifacts/. A crash input is replayed with
#   build/fuzz/tests/fuzz/fuzz_<name> <file>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
scripts/install_deps.sh --with-fuzz

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARN_FUZZ=ON -DTARN_WERROR=ON >/dev/null
targets=${FUZZ_TARGETS:-$(ls tests/fuzz/corpus)}
build_targets=()
for t in $targets; do build_targets+=("fuzz_$t"); done
cmake --build build/fuzz --target "${build_targets[@]}"

mkdir -p build/fuzz/artifacts
fuzz_target() { # NAME
    local t=$1 work=build/fuzz/corpus/$1
    mkdir -p "$work"
    # -timeout: a single input taking this long is a hang (all waits run on a
    # virtual clock), so it fails the run like a crash.
    if ! nice -n 19 "build/fuzz/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=30 \
        -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ \
        "$work" "tests/fuzz/corpus/$t" >"build/fuzz/fuzz_$t.log" 2>&1; then
        tail -n 60 "build/fuzz/fuzz_$t.log"
        echo "fuzz_$t FAILED (log: build/fuzz/fuzz_$t.log)"
        return 1
    fi
    grep -E '^stat::number_of_executed_units' "build/fuzz/fuzz_$t.log" | sed "s/^/fuzz_$t ${seconds} s: /"
}
# One target a core: each is single-threaded.
running=0
failed=0
for t in $targets; do
    fuzz_target "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$(nproc)" ]; then
        wait -n || failed=1
        running=$((running - 1))
    fi
done
while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
done
[ "$failed" = 0 ] || exit 1

if [ "${SOAK:-1}" = 1 ] && [ -f bench/soak/soak.py ]; then
    # The sanitizer build of scripts/test.sh has both binaries already.
    soak_build=build/asan
    if [ ! -f "$soak_build/build.ninja" ]; then
        soak_build=build/soak
        cmake -S . -B "$soak_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_WERROR=ON \
            -DTARN_SANITIZE=ON >/dev/null
    fi
    cmake --build "$soak_build" --target tarnload tarnsim
    python3 bench/soak/soak.py --small --bin "$soak_build"
fi

#!/usr/bin/env bash
# tarnload.exe run under Wine against tarnsim on a pty: the Windows serial
# port, clock and last-error report, for real. Needs the MinGW-w64 build
# (scripts/build_windows.sh) and a Linux build's tarnsim; where Wine or either
# build is missing the set is reported as skipped, not passed.
#   TARNLOAD_EXE  the Windows build  (default build/windows/tarnload.exe)
#   TARNSIM       the device         (default build/release/sim/tarnsim)
#   SER2NET_SERVE ser2net for the network port cases
#                 (default build/release/tests/support/ser2net_serve)
# Arguments go to the set: "-k vanish" runs the cases whose name has "vanish".
set -euo pipefail
cd "$(dirname "$0")/.."
exe=${TARNLOAD_EXE:-build/windows/tarnload.exe}
sim=${TARNSIM:-build/release/sim/tarnsim}
serve=${SER2NET_SERVE:-build/release/tests/support/ser2net_serve}

missing=()
for tool in wine wineserver wineboot x86_64-w64-mingw32-gcc-posix python3; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
[ -f "$exe" ] || missing+=("$exe")
[ -x "$sim" ] || missing+=("$sim")
if [ "${#missing[@]}" -gt 0 ]; then
    echo "wine tests: skipped (missing: ${missing[*]})"
    exit 0
fi
exec python3 tests/wine/wine_tests.py --exe "$exe" --sim "$sim" --work build/wine-test \
    --serve "$serve" "$@"

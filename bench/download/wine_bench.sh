#!/usr/bin/env bash
# The download benchmark with tarnload.exe run under Wine against the same
# paced tarnsim. Uses a fresh, headless prefix of its own; the port links
# Wine makes by itself (to real serial devices) are removed first, and the
# program is given a port name that is no COMn.
#   bash bench/download/wine_bench.sh [build-dir] [windows-build-dir]
#   (defaults build/release and build/windows)
set -euo pipefail
cd "$(dirname "$0")/../.."
bench=${1:-build/release}/bench/download/download_bench
exe=$(realpath "${2:-build/windows}/tarnload.exe")
root=$(mktemp -d /tmp/tarn_wine_bench_XXXXXX)
export WINEPREFIX=$root/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$root"
}
trap cleanup EXIT
mkdir -p "$WINEPREFIX"
wineserver -p >"$root/wine.log" 2>&1
wineboot -i >>"$root/wine.log" 2>&1
find "$WINEPREFIX/dosdevices" -maxdepth 1 -regextype egrep -regex '.*/(com|lpt)[0-9]+' -delete
mkdir -p "$root/work"
"$bench" --wine "$(command -v wine)" "$exe" "$WINEPREFIX/dosdevices/tarnbench" '\\.\TARNBENCH' "$root/work"

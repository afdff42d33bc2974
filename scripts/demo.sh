#!/usr/bin/env bash
# The main job: a complete firmware update against the virtual device.
# Builds tarnload and tarnsim, writes a sample firmware file, starts tarnsim
# on a pseudo-terminal, runs `tarnload <pty> <file>`, stops tarnsim and
# checks that the image the device received is exactly the file's image
# (the file's bytes before its 16-byte suffix). Exit status 0 only when the
# update succeeded and the images match.
set -euo pipefail
cd "$(dirname "$0")/.."
# The compiler, CMake and Ninja: the build has no tests, and nothing else is needed.
bash scripts/install_deps.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo --target tarnload tarnsim

work=$(mktemp -d)
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

firmware="$work/sample.dfu"
received="$work/received.bin"
build/demo/sim/tarnsim make-dfu --out "$firmware" --size 20000 --seed 42 \
    --desc "demo firmware"

# tarnsim prints its terminal's path on its first line, then plays the
# device until one update has completed. A device that is never busy gives
# the plain progress line: one dot per block, the running total every 50.
mkfifo "$work/sim.out"
build/demo/sim/tarnsim --updates 1 --busy-answers 0 --image-out "$received" \
    >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
exec 3<"$work/sim.out"
read -r -t 10 pty <&3 || {
    echo "demo: tarnsim did not report its terminal"
    exit 1
}
echo "tarnsim is the device on $pty"
echo "\$ tarnload $pty $(basename "$firmware")"

status=0
build/demo/tarnload "$pty" "$firmware" || status=$?

# tarnsim ends by itself after the update; give it a moment, then stop it.
for _ in $(seq 50); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
exec 3<&-

echo "--- what the device saw (tarnsim) ---"
cat "$work/sim.log"

if [ "$status" -ne 0 ]; then
    echo "DEMO FAILED: tarnload exited with status $status"
    exit 1
fi
image_size=$(($(stat -c %s "$firmware") - 16))
if head -c "$image_size" "$firmware" | cmp -s - "$received"; then
    echo "VERIFIED: the device received exactly the file's image ($image_size bytes)"
else
    echo "DEMO FAILED: the image the device received differs from the file's image"
    exit 1
fi

#!/usr/bin/env bash
# Flashes several virtual devices at once with GNU parallel, the way a
# production line would: some devices on local ports, some behind ser2net on
# the network (one through rfc2217://, one through socket://), each with its
# own firmware file. One tarnload per port; parallel tags every output line
# with its job's arguments and keeps a job log (one row per device, with its
# exit status). Afterwards every device's received image is compared with
# its file's image.
#
#   scripts/flash_many.sh [--local N] [--no-network] [--size BYTES]
#
# Defaults: 4 local devices and 2 network devices, 20000-byte images, every
# device paced at the line's real speed. Exit status 0 only when every job
# succeeded and every image matches.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/flash_lib.sh
source scripts/flash_lib.sh

local_count=4
network=1
size=20000
while [ $# -gt 0 ]; do
    case "$1" in
    --local) local_count=$2; shift 2 ;;
    --no-network) network=0; shift ;;
    --size) size=$2; shift 2 ;;
    *) echo "usage: $0 [--local N] [--no-network] [--size BYTES]" >&2; exit 2 ;;
    esac
done

bash scripts/install_deps.sh --with-tests
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo --target tarnload tarnsim >/dev/null
tarnload=$PWD/build/demo/tarnload
tarnsim=$PWD/build/demo/sim/tarnsim

work=$(mktemp -d /tmp/tarn_flash_many_XXXXXX)
sim_pids=()
ser2net_pid=""
stop_ser2net() {
    # Before the devices go: a server left on a pty number that is reused
    # would reach someone else's terminal.
    if [ -n "$ser2net_pid" ]; then
        kill "$ser2net_pid" 2>/dev/null || true
        wait "$ser2net_pid" 2>/dev/null || true
        ser2net_pid=""
    fi
}
stop_sims() {
    # tarnsim writes the image it received when it is stopped.
    for pid in "${sim_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${sim_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    sim_pids=()
}
cleanup() {
    stop_ser2net
    stop_sims
    rm -rf "$work"
}
trap cleanup EXIT

# Starts device $1 and sets $pty to its terminal.
start_device() {
    local i=$1
    "$tarnsim" --paced --busy-answers 0 --image-out "$work/received-$i.bin" \
        >"$work/sim-$i.out" 2>"$work/sim-$i.log" &
    sim_pids+=($!)
    pty=""
    for _ in $(seq 100); do
        pty=$(head -n 1 "$work/sim-$i.out")
        [ -n "$pty" ] && return 0
        sleep 0.05
    done
    echo "flash_many: device $i did not report its terminal" >&2
    exit 1
}

# Serves the ptys $1 (raw TCP) and $2 (Telnet with RFC 2217) on 127.0.0.1;
# sets $raw_port and $rfc2217_port.
start_ser2net() {
    local attempt
    for attempt in 1 2 3; do
        read -r raw_port rfc2217_port < <(free_ports 2)
        cat >"$work/ser2net.yaml" <<EOF
%YAML 1.1
---
connection: &raw
    accepter: tcp(nodelay),127.0.0.1,$raw_port
    connector: serialdev,$1,115200e81,local
    options:
      chardelay: false
connection: &rfc2217
    accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,$rfc2217_port
    connector: serialdev,$2,115200e81,local
    options:
      chardelay: false
EOF
        ser2net -n -u -c "$work/ser2net.yaml" -P "$work/ser2net.pid" >>"$work/ser2net.log" 2>&1 &
        ser2net_pid=$!
        for _ in $(seq 60); do
            if listening "$raw_port" && listening "$rfc2217_port"; then
                return 0
            fi
            sleep 0.05
        done
        # Another process took a port between the choice and the start.
        stop_ser2net
    done
    echo "flash_many: ser2net did not come up:" >&2
    cat "$work/ser2net.log" >&2
    exit 1
}

ports=()
files=()
count=$((local_count + (network ? 2 : 0)))
for i in $(seq "$count"); do
    "$tarnsim" make-dfu --out "$work/firmware-$i.dfu" --size "$size" --seed "$i" \
        --desc "station $i firmware" >/dev/null
    files+=("firmware-$i.dfu")
    start_device "$i"
    ports+=("$pty")
done
if [ "$network" -eq 1 ]; then
    raw_pty=${ports[count - 2]}
    rfc2217_pty=${ports[count - 1]}
    start_ser2net "$raw_pty" "$rfc2217_pty"
    ports[count - 2]="socket://127.0.0.1:$raw_port"
    ports[count - 1]="rfc2217://127.0.0.1:$rfc2217_port"
    echo "ser2net serves $raw_pty as ${ports[count - 2]} and $rfc2217_pty as ${ports[count - 1]}"
fi

echo "\$ parallel --tag --joblog joblog tarnload {1} {2} ::: ${ports[*]} :::+ ${files[*]}"
status=0
(cd "$work" && parallel --will-cite --jobs 0 --timeout 120 --tag --joblog joblog \
    "$tarnload" {1} {2} ::: "${ports[@]}" :::+ "${files[@]}") || status=$?

stop_ser2net
stop_sims

echo "--- job log ---"
cat "$work/joblog"
echo "--- images ---"
verified=0
for i in $(seq "$count"); do
    file=$work/${files[i - 1]}
    image_size=$(($(stat -c %s "$file") - 16))
    if same_image "$file" "$work/received-$i.bin"; then
        echo "device $i  ${ports[i - 1]}  image verified ($image_size bytes)"
        verified=$((verified + 1))
    else
        echo "device $i  ${ports[i - 1]}  IMAGE DIFFERS OR MISSING"
        echo "  its log:" && sed 's/^/    /' "$work/sim-$i.log"
    fi
done
if [ "$status" -ne 0 ] || [ "$verified" -ne "$count" ]; then
    echo "FAILED: $verified of $count images verified; parallel exited with status $status"
    exit 1
fi
echo "VERIFIED: all $count devices flashed at once, every image exact"

#!/usr/bin/env bash
# tarnload on real kernel serial drivers: a QEMU guest running Debian's own
# kernel, whose /dev/ttyS1 is QEMU's 16550 (the 8250 driver) and whose
# /dev/ttyUSB0 is QEMU's FTDI adapter (usbserial + ftdi_sio), each wired to
# a tarnsim on this machine. Then two FTDI adapters that differ only in
# their serial numbers, each with a tarnsim of its own, chosen by usb: names
# and listed by tarnload-ports. Prints PASS or FAIL per case; exit 1 on a FAIL.
#
# Sets itself up on Debian 12 as root: the packages, Debian's kernel .deb
# (kept in the cache folder below, outside the clone, so that only a
# machine's first run fetches it; unpacked into the build tree, never
# installed), a busybox initramfs and static builds of tarnload,
# tarnload-ports, tarnsim and the guest's helper. Everything else is written under build/real-drivers/.
set -euo pipefail
cd "$(dirname "$0")/.."
began=$SECONDS
if [ "$(id -u)" = 0 ]; then default_cache=/var/cache/tarnload-rig; else
    default_cache=${XDG_CACHE_HOME:-$HOME/.cache}/tarnload-rig; fi
cache=${TARNLOAD_RIG_CACHE:-$default_cache}
top=$PWD/build/real-drivers
run=$top/run
fw=$top/fw.dfu

# The guest's USB adapters, by the name the guest gives the port: QEMU's
# device properties (the chardev and id are added at each plug).
declare -A ADAPTER=([/dev/ttyUSB0]="usb-serial,bus=xhci.0")
# The modules the adapters need; their dependencies come from modules.dep.
GUEST_MODULES=(xhci-pci ftdi_sio)

fails=0
pass() { echo "PASS $*"; }
fail() {
    echo "FAIL $*"
    fails=$((fails + 1))
}
one_line() { paste -sd' ' <<<"${1%$'\n'}"; }
now_ms() { local t=${EPOCHREALTIME/./}; echo $((10#$t / 1000)); }

# --- set-up -----------------------------------------------------------------

kernel_abi() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}
fetch_kernel() { # -> $kernel_deb
    local abi
    abi=$(kernel_abi)
    # A machine whose package lists were never fetched (or were cleared).
    [ -n "$abi" ] || { apt-get update -qq && abi=$(kernel_abi); }
    [ -n "$abi" ] || { echo "cannot resolve the kernel behind linux-image-amd64"; exit 1; }
    mkdir -p "$cache"
    kernel_deb=$(find "$cache" -maxdepth 1 -name "${abi}_*_amd64.deb" | head -1)
    if [ -z "$kernel_deb" ]; then
        echo "fetching $abi into $cache"
        rm -f "$cache"/linux-image-*.deb
        (cd "$cache" && { apt-get download -q "$abi" 2>/dev/null ||
            { apt-get update -qq && apt-get download -q "$abi"; }; })
        kernel_deb=$(find "$cache" -maxdepth 1 -name "${abi}_*_amd64.deb" | head -1)
        [ -n "$kernel_deb" ] || { echo "cannot fetch $abi"; exit 1; }
    fi
}

# The kernel, and the modules GUEST_MODULES need in the order they load.
unpack_kernel() {
    local root=$top/kernel
    if [ ! -f "$root/.from" ] || [ "$(cat "$root/.from")" != "$kernel_deb" ]; then
        rm -rf "$root"
        dpkg-deb -x "$kernel_deb" "$root"
        echo "$kernel_deb" >"$root/.from"
    fi
    kver=$(basename "$(find "$root/lib/modules" -mindepth 1 -maxdepth 1 | head -1)")
    local mods=$root/lib/modules/$kver
    [ -f "$mods/modules.dep" ] || busybox depmod -b "$root" "$kver"
    load_order=()
    local m line deps i
    for m in "${GUEST_MODULES[@]}"; do
        line=$(grep -E "(^|/)$m\.ko(\.xz)?:" "$mods/modules.dep")
        read -ra deps <<<"${line#*:}"
        # modules.dep lists a module's dependencies last-needed first.
        for ((i = ${#deps[@]} - 1; i >= 0; i--)); do add_module "${deps[i]}"; done
        add_module "${line%%:*}"
    done
}
add_module() {
    local m
    for m in "${load_order[@]}"; do [ "$m" != "$1" ] || return 0; done
    load_order+=("$1")
}

build_binaries() {
    local launcher=()
    if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
    # The release stage's build type: with its compiler cache only the links differ.
    cmake -S . -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
        -DTARN_WERROR=ON -DCMAKE_EXE_LINKER_FLAGS=-static "${launcher[@]}" >/dev/null
    cmake --build "$top/build" --target tarnload tarnload-ports tarnsim >/dev/null
    g++ -std=c++20 -O2 -Wall -Wextra -Werror -static -o "$top/port_state" \
        tests/real_drivers/port_state.cpp
}

build_initramfs() {
    local root=$top/initramfs m
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/modules}
    cp /bin/busybox "$root/bin/busybox"
    cp tests/real_drivers/init "$root/init"
    cp tests/real_drivers/rig "$top/port_state" "$root/bin/"
    strip -o "$root/bin/tarnload" "$top/build/tarnload"
    strip -o "$root/bin/tarnload-ports" "$top/build/usbport/tarnload-ports"
    cp "$fw" "$root/fw.dfu"
    for m in "${load_order[@]}"; do
        cp "$top/kernel/lib/modules/$kver/$m" "$root/lib/modules/"
        case "$m" in *.xz) xz -d "$root/lib/modules/$(basename "$m")" ;; esac
        basename "${m%.xz}" >>"$root/lib/modules/load-order"
    done
    (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 >"$top/initramfs.gz")
}

# --- processes --------------------------------------------------------------

qemu_pid=""
mon_pid=""
declare -A device_pid=() device_dir=()
cleanup() {
    local p
    for p in "${device_pid[@]}" $mon_pid $qemu_pid; do kill "$p" 2>/dev/null || true; done
    for p in "${device_pid[@]}" $mon_pid $qemu_pid; do wait "$p" 2>/dev/null || true; done
    rm -f "$run/ctl.in" "$run/ctl.out" "$run/monitor.sock"
}
trap cleanup EXIT

# A tarnsim for PORT with the given options -> $pty; its files in $run/<case>.
start_device() { # CASE OPTIONS...
    local dir=$run/$1
    rm -rf "$dir" && mkdir -p "$dir"
    "$top/build/sim/tarnsim" --image-out "$dir/image" --stats "$dir/stats" \
        --trace "$dir/trace" "${@:2}" >"$dir/out" 2>"$dir/err" &
    device_pid[$1]=$!
    device_dir[$1]=$dir
    for _ in $(seq 100); do
        # (The file may not be there yet: the redirection is the child's.)
        pty=$(head -1 "$dir/out" 2>/dev/null || true)
        [ -z "$pty" ] || return 0
        sleep 0.02
    done
    echo "tarnsim did not report its terminal"
    exit 1
}
stop_device() { # CASE [SIGNAL]
    [ -n "${device_pid[$1]:-}" ] || return 0
    kill "-${2:-TERM}" "${device_pid[$1]}" 2>/dev/null || true
    wait "${device_pid[$1]}" 2>/dev/null || true
    unset "device_pid[$1]"
}
# True when the device of CASE holds the firmware file's whole image.
image_exact() {
    head -c "$(($(stat -c %s "$fw") - 16))" "$fw" | cmp -s - "${device_dir[$1]}/image"
}
image_incomplete() { grep -q '^image_complete=0' "${device_dir[$1]}/stats"; }

# The QEMU monitor, one connection for the whole run.
mon() { echo "$*" >&"${MON[1]}"; }

# Runs a command line in the guest: guest_send, then guest_wait -> $out, $rc.
guest_send() {
    echo "> $*" >>"$run/guest.log"
    echo "$*" >&3
}
guest_wait() { # [TIMEOUT_S]
    local line
    out=""
    while IFS= read -r -t "${1:-60}" line <&4; do
        line=${line%$'\r'}
        echo "$line" >>"$run/guest.log"
        if [[ $line == "@@RC "* ]]; then
            rc=${line#@@RC }
            return 0
        fi
        out+="$line"$'\n'
    done
    echo "the guest did not answer; its last output:"
    echo "$out"
    exit 1
}
guest() {
    guest_send "$*"
    guest_wait
}

# Starts the guest with ACCEL and waits TIMEOUT_S for its console; false
# when it did not come up (QEMU then stopped).
start_guest() { # ACCEL TIMEOUT_S
    rm -rf "$run" && mkdir -p "$run"
    mkfifo "$run/ctl.in" "$run/ctl.out"
    qemu-system-x86_64 -accel "$1" -m 256M -nodefaults -no-user-config \
        -display none -no-reboot -kernel "$top/kernel/boot/vmlinuz-$kver" \
        -initrd "$top/initramfs.gz" -append "console=ttyS0 quiet panic=-1" \
        -chardev pipe,id=ctl,path="$run/ctl" -serial chardev:ctl \
        -chardev null,id=s1 -serial chardev:s1 \
        -device qemu-xhci,id=xhci \
        -chardev socket,id=mon,path="$run/monitor.sock",server=on,wait=off \
        -mon chardev=mon,mode=readline \
        -trace serial_update_parameters -trace 'usb_serial_set_*' 2>"$run/qemu.trace" &
    qemu_pid=$!
    exec 3>"$run/ctl.in" 4<"$run/ctl.out"
    local line deadline=$((SECONDS + $2))
    while [ "$SECONDS" -lt "$deadline" ] && IFS= read -r -t "$2" line <&4; do
        [[ $line != "@@READY"* ]] || return 0
    done
    kill "$qemu_pid"
    wait "$qemu_pid" || true
    qemu_pid=""
    exec 3>&- 4<&-
    return 1
}

# KVM where it boots the guest (a nested /dev/kvm may open yet never run
# it; a guest up in KVM takes about 2 s), else QEMU's emulator.
boot() {
    accel=tcg
    if [ -w /dev/kvm ] && start_guest kvm 8; then
        accel=kvm
    else
        start_guest tcg 120 || { echo "the guest did not boot"; exit 1; }
    fi
    coproc MON { exec socat - UNIX-CONNECT:"$run/monitor.sock" >"$run/monitor.log"; }
    mon_pid=$MON_PID
}

# Connects a fresh tarnsim (with OPTIONS) to the guest's PORT for CASE; an
# adapter gets a new QEMU id each time, kept in plugged[PORT].
plugs=0
declare -A plugged=()
plug() { # CASE PORT OPTIONS...
    start_device "$1" "${@:3}"
    if [ "$2" = /dev/ttyS1 ]; then
        mon "chardev-change s1 serial,path=$pty"
    else
        plugs=$((plugs + 1))
        plugged[$2]=$plugs
        mon "chardev-add serial,id=c$plugs,path=$pty"
        mon "device_add ${ADAPTER[$2]},chardev=c$plugs,id=u$plugs"
        guest rig wait "$2" present
        [ "$rc" = 0 ] || { echo "$out"; exit 1; }
    fi
}
unplug() { # CASE PORT: the adapter goes (a 16550 is wired to nothing)
    if [ "$2" = /dev/ttyS1 ]; then
        mon "chardev-change s1 null"
    else
        mon "device_del u${plugged[$2]}"
        guest rig wait "$2" absent
        mon "chardev-remove c${plugged[$2]}"
    fi
    stop_device "$1"
}
# The line settings QEMU applied for the guest's driver since trace line N.
line_settings() { # N
    tail -n +"$(($1 + 1))" "$run/qemu.trace" | grep -E 'serial_update_parameters|usb_serial_set'
}
trace_lines() { wc -l <"$run/qemu.trace"; }
# True when SETTINGS hold 8E1 at 115200 baud: the 16550's divisor gives it
# exactly, the FTDI's 3 MHz clock the nearest it can (115384, 0.2 % off).
asked_8e1() { # SETTINGS
    grep -q "baudrate=115200 parity='E' data=8 stop=1" <<<"$1" && return 0
    grep -q "parity E, data bits 8, stop bits 1" <<<"$1" &&
        grep -qE "baud rate 115(0[5-9]|[1-3][0-9]|4[0-9])[0-9]$" <<<"$1"
}
# Waits until the device's trace of CASE has a line matching PATTERN.
await_device() { # CASE PATTERN
    for _ in $(seq 1000); do
        grep -qE "$2" "${device_dir[$1]}/trace" 2>/dev/null && return 0
        sleep 0.01
    done
    return 1
}

# --- cases ------------------------------------------------------------------

# One whole update; what the driver was asked for; the port as found.
case_update() { # PORT
    local name=update-${1#/dev/} before mark
    plug "$name" "$1" --busy-answers 0
    guest rig state "$1"
    before=$out
    mark=$(trace_lines)
    guest rig flash "$1"
    local flash_out=$out flash_rc=$rc
    guest rig state "$1"
    local after=$out settings
    settings=$(line_settings "$mark")
    unplug "$name" "$1"
    if [ "$flash_rc" = 0 ] && [[ $flash_out == *"Operation complete"* ]] && image_exact "$name"; then
        # Frames damaged on their way in, e.g. echoed before the raw settings.
        pass "$1 one update: exit 0, the device holds the file's image" \
            "($(grep -o 'frame_errors=.*' "${device_dir[$name]}/stats") at the device)"
    else
        fail "$1 one update: exit $flash_rc"$'\n'"$flash_out"
    fi
    if asked_8e1 "$settings"; then
        pass "$1 the driver asked for 115200 8E1"
    else
        fail "$1 the driver did not ask for 115200 8E1:"$'\n'"$settings"
    fi
    if [ "$before" = "$after" ]; then
        pass "$1 left as found: $(one_line "$after")"
    else
        fail "$1 not left as found: before"$'\n'"$before"$'\n'"after"$'\n'"$after"
    fi
}

# A port that already had the low-latency flag keeps it.
case_low_latency_kept() { # PORT
    local name=low-latency-${1#/dev/} before
    plug "$name" "$1" --busy-answers 0
    guest "port_state $1 low-latency >/dev/null && rig state $1"
    before=$out
    guest rig flash "$1"
    local flash_rc=$rc
    guest rig state "$1"
    local after=$out
    unplug "$name" "$1"
    if [ "$flash_rc" = 0 ] && [[ $before == *"(low latency)"* ]] && [ "$before" = "$after" ]; then
        pass "$1 low latency set before the run is kept: $(one_line "$after")"
    else
        fail "$1 low latency set before: exit $flash_rc, before"$'\n'"$before"$'\n'"after"$'\n'"$after"
    fi
}

# The adapter unplugged at MOMENT: the run ends with the port lost, at once.
case_unplug() { # MOMENT TRIGGER PAUSE_S OPTIONS...
    local name=unplug-${1// /-} port=/dev/ttyUSB0 came=yes t0 ms
    plug "$name" "$port" "${@:4}"
    guest_send rig flash "$port"
    await_device "$name" "$2" || came=no
    sleep "$3"
    t0=$(now_ms)
    mon "device_del u${plugged[$port]}"
    guest_wait 30
    ms=$(($(now_ms) - t0))
    local flash_out=$out flash_rc=$rc
    guest rig wait "$port" absent
    mon "chardev-remove c${plugged[$port]}"
    stop_device "$name"
    if [ "$came" = yes ] && [ "$flash_rc" = 1 ] && [[ $flash_out == *"Serial port lost: "* ]] &&
        [ "$ms" -lt 1000 ] && image_incomplete "$name"; then
        pass "$port unplugged $1: exit 1 ${ms} ms after device_del," \
            "$(grep -o 'Serial port lost: .*' <<<"$flash_out")"
    else
        fail "$port unplugged $1 (moment reached: $came): exit $flash_rc after $ms ms" \
            $'\n'"$flash_out"
    fi
}

# The 16550 cannot be unplugged: its far end, the device, goes instead.
case_device_killed() {
    local name=killed-ttyS1 port=/dev/ttyS1 came=yes t0 s
    plug "$name" "$port" --busy-answers 0
    guest_send rig flash "$port"
    await_device "$name" "DNLOAD block 20" || came=no
    t0=$SECONDS
    stop_device "$name" KILL
    guest_wait 60
    s=$((SECONDS - t0))
    unplug "$name" "$port"
    # Four attempts of a request of 5 s each, then the failure.
    if [ "$came" = yes ] && [ "$rc" = 1 ] && [[ $out == *"Download failed"* ]] && [ "$s" -le 25 ]; then
        pass "$port device killed mid-download: exit 1 after $s s" \
            "(the README's bound: 4 attempts of 5 s for the request; 25 s allowed)"
    else
        fail "$port device killed mid-download (moment reached: $came): exit $rc after $s s" \
            $'\n'"$out"
    fi
}

case_in_use() { # PORT
    local name=in-use-${1#/dev/}
    plug "$name" "$1" --busy-answers 0
    guest rig in-use "$1"
    local both=$out
    unplug "$name" "$1"
    if [[ $both == *"Serial port: in use by another program"* && $both == *"second exit 1"* &&
        $both == *"first exit 0"* ]] && image_exact "$name"; then
        pass "$1 a second run is refused \"in use\" while the first completes"
    else
        fail "$1 second run on the port:"$'\n'"$both"
    fi
}

# --- the device chosen by its USB identity ----------------------------------

# Two FTDI adapters of one kind, told apart only by the serial numbers QEMU
# gives them, each wired to a device of its own; plugged first to last, the
# guest names them /dev/ttyUSB0 and /dev/ttyUSB1.
ID_SERIALS=(TARNA001 TARNB002)
plug_pair() { # PHASE: a fresh device behind each adapter
    local s n=0
    for s in "${ID_SERIALS[@]}"; do
        start_device "$1-$s" --busy-answers 0
        mon "chardev-add serial,id=c$1$s,path=$pty"
        mon "device_add usb-serial,bus=xhci.0,serial=$s,chardev=c$1$s,id=u$1$s"
        guest rig wait /dev/ttyUSB$n present
        n=$((n + 1))
    done
}
unplug_pair() { # PHASE
    local s n=0
    for s in "${ID_SERIALS[@]}"; do
        mon "device_del u$1$s"
        guest rig wait /dev/ttyUSB$n absent
        mon "chardev-remove c$1$s"
        stop_device "$1-$s"
        n=$((n + 1))
    done
}
# Of the ports in tarnload-ports --json's output in $out that FILTER
# accepts, the values of EXPRESSION, space-separated; both are Python over
# p, one port's object (python3 rather than jq: the rig's set-up has it).
ports_json() { # EXPRESSION FILTER
    python3 -c 'import json, sys
print(" ".join(str(eval(sys.argv[1], {"p": p})) for p in json.loads(sys.stdin.read())
               if eval(sys.argv[2], {"p": p})))' "$1" "$2" <<<"$out"
}
# The line bytes the device of PHASE-SERIAL received (its stats at exit).
bytes_seen() { sed -n 's/^bytes_from_host=//p' "${device_dir[$1-$2]}/stats"; }
updates_of() { sed -n 's/^updates=//p' "${device_dir[$1-$2]}/stats"; }

case_identity() {
    local a=${ID_SERIALS[0]} b=${ID_SERIALS[1]} ambiguous_out ambiguous_rc listed_text listed_json
    # Refusals: a name two adapters answer to, and one nothing answers to.
    plug_pair refuse
    guest tarnload-ports
    listed_text=$out
    guest tarnload-ports --json
    listed_json=$out
    if [ "$rc" = 0 ] && [ "$(ports_json 'p["port"]' "p['vid'] == '0403' and p['pid'] == '6001' \
            and p['serial'] in ('$a', '$b')")" = "/dev/ttyUSB0 /dev/ttyUSB1" ]; then
        pass "tarnload-ports --json lists both adapters, 0403:6001 with serials $a and $b"
    else
        fail "tarnload-ports --json (exit $rc):"$'\n'"$listed_json"
    fi
    guest tarnload usb:vid=0403,pid=6001 /fw.dfu
    ambiguous_out=$out ambiguous_rc=$rc
    guest tarnload usb:serial=NOSUCH /fw.dfu
    local nosuch_out=$out nosuch_rc=$rc
    unplug_pair refuse
    if [ "$ambiguous_rc" = 1 ] && [[ $ambiguous_out == *"matches 2 USB serial ports, none opened"* ]] &&
        [ "$(bytes_seen refuse "$a")" = 0 ] && [ "$(bytes_seen refuse "$b")" = 0 ]; then
        pass "usb:vid=0403,pid=6001 refused as ambiguous, neither device saw a byte: $(head -1 <<<"$ambiguous_out")"
    else
        fail "usb:vid=0403,pid=6001: exit $ambiguous_rc, bytes seen $(bytes_seen refuse "$a") and $(bytes_seen refuse "$b")"$'\n'"$ambiguous_out"
    fi
    if [ "$nosuch_rc" = 1 ] && [[ $nosuch_out == *"Serial port: no USB serial port matches usb:serial=NOSUCH (present: "* ]]; then
        pass "usb:serial=NOSUCH refused: $(head -1 <<<"$nosuch_out")"
    else
        fail "usb:serial=NOSUCH: exit $nosuch_rc"$'\n'"$nosuch_out"
    fi

    # By serial: the second adapter's device, and the first sees nothing.
    plug_pair serial
    guest TARNLOAD_TRACE=/tmp/serial.trace tarnload usb:serial=$b /fw.dfu
    local serial_out=$out serial_rc=$rc
    guest head -3 /tmp/serial.trace
    local trace_head=$out
    unplug_pair serial
    if [ "$serial_rc" = 0 ] && image_exact "serial-$b" && [ "$(bytes_seen serial "$a")" = 0 ]; then
        pass "usb:serial=$b flashed the second adapter's device, the first saw no byte"
    else
        fail "usb:serial=$b: exit $serial_rc, the first saw $(bytes_seen serial "$a") bytes"$'\n'"$serial_out"
    fi
    if grep -qF "usb:serial=$b resolved to /dev/ttyUSB1 (0403:6001, serial $b, " <<<"$trace_head"; then
        pass "the trace's first lines name the device: $(grep -o 'resolved to .*' <<<"$trace_head")"
    else
        fail "the trace does not say where usb:serial=$b led:"$'\n'"$trace_head"
    fi

    # By location, then by the selector tarnload-ports prints.
    plug_pair where
    guest tarnload-ports --json
    local location selector
    location=$(ports_json 'p["location"]' "p['serial'] == '$a'")
    selector=$(ports_json 'p["selector"]' "p['serial'] == '$b'")
    guest tarnload "usb:location=$location" /fw.dfu
    local location_out=$out location_rc=$rc
    guest tarnload "$selector" /fw.dfu
    local selector_out=$out selector_rc=$rc
    unplug_pair where
    if [ "$location_rc" = 0 ] && image_exact "where-$a" && [ "$(updates_of where "$a")" = 1 ]; then
        pass "usb:location=$location flashed the first adapter's device"
    else
        fail "usb:location=$location: exit $location_rc"$'\n'"$location_out"
    fi
    if [ "$selector_rc" = 0 ] && image_exact "where-$b" && [ "$(updates_of where "$b")" = 1 ] &&
        [ "$(updates_of where "$a")" = 1 ]; then
        pass "the selector tarnload-ports printed for $b, $selector, flashed that device alone"
    else
        fail "selector $selector: exit $selector_rc"$'\n'"$selector_out"
    fi
    printf 'tarnload-ports in the guest:\n%s%s' "$listed_text" "$listed_json"
}

# --- the run ----------------------------------------------------------------

scripts/install_deps.sh --with-real-drivers
fetch_kernel
mkdir -p "$top"
unpack_kernel
build_binaries
"$top/build/sim/tarnsim" make-dfu --out "$fw" --size 20000 --seed 22
build_initramfs
echo "set-up: $((SECONDS - began)) s (kernel $kver)"
boot
echo "guest up: $((SECONDS - began)) s (accelerator: $accel)"

for port in /dev/ttyS1 /dev/ttyUSB0; do
    case_update "$port"
    case_low_latency_kept "$port"
    case_in_use "$port"
done
case_unplug "during link set-up" "H>D.*sync" 0.2 --mute
case_unplug "mid-download" "DNLOAD block 20" 0 --busy-answers 0
# The request has arrived and been acknowledged; its reply is 3 s away.
case_unplug "waiting for a slow reply" "H>D +rel seq" 0.2 --reply-delay-ms 3000
case_device_killed
case_identity

echo "real drivers: $fails failed, $((SECONDS - began)) s"
[ "$fails" = 0 ]

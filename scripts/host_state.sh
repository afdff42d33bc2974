#!/usr/bin/env bash
# What the tests must leave as they found it: whether the ssh and ser2net
# services start at boot, and the TCP ports that listen on this machine.
#   scripts/host_state.sh save FILE      write the present state into FILE
#   scripts/host_state.sh compare FILE   print it beside FILE's; exit 1 when
#       a service's boot setting differs or a port listens that did not
# A port that a test's own server still holds for a moment is given up to
# 30 s to close. Needs nothing beyond the base system: the listening ports
# are read from /proc/net/tcp and tcp6, as ss reads them.
set -euo pipefail
services=(ssh ser2net)

# "enabled" or "not enabled", with what it was read from.
service_state() { # NAME
    local raw
    if [ -d /run/systemd/system ]; then
        raw=$(systemctl is-enabled "$1.service" 2>/dev/null || true)
        case "$raw" in
        enabled | enabled-runtime) echo "enabled (systemctl: $raw)" ;;
        *) echo "not enabled (systemctl: ${raw:-no unit})" ;;
        esac
        return
    fi
    # No systemd running: the boot links either init would follow.
    raw=$(find /etc/systemd/system -path "*.wants/$1.service" 2>/dev/null; ls /etc/rc[2-5].d/S??"$1" 2>/dev/null || true)
    if [ -n "$raw" ]; then
        echo "enabled (links: $(paste -sd' ' <<<"$raw"))"
    else
        echo "not enabled (no systemd or rc.d start link)"
    fi
}

# One "ADDRESS:PORT INODE" line a listening TCP socket.
listeners() {
    local file addr port inode hex
    for file in /proc/net/tcp /proc/net/tcp6; do
        [ -r "$file" ] || continue
        while read -r _ addr _ st _ _ _ _ _ inode _; do
            [ "$st" = 0A ] || continue
            hex=${addr%:*}
            port=$((16#${addr#*:}))
            case "$hex" in
            ????????) addr=$((16#${hex:6:2})).$((16#${hex:4:2})).$((16#${hex:2:2})).$((16#${hex:0:2})) ;;
            00000000000000000000000000000000) addr="[::]" ;;
            00000000000000000000000001000000) addr="[::1]" ;;
            0000000000000000FFFF0000*) addr="[::ffff:$((16#${hex:30:2})).$((16#${hex:28:2})).$((16#${hex:26:2})).$((16#${hex:24:2}))]" ;;
            *) addr="[$hex]" ;;
            esac
            echo "$addr:$port $inode"
        done < <(tail -n +2 "$file")
    done | sort -u -k1,1
}

state() {
    local s
    for s in "${services[@]}"; do echo "service $s: $(service_state "$s")"; done
    listeners | while read -r addr _; do echo "listening $addr"; done
}

# The process holding a socket, by its inode: "PID COMMAND".
owner() { # INODE
    local fd
    for fd in /proc/[0-9]*/fd/*; do
        if [ "$(readlink "$fd" 2>/dev/null)" = "socket:[$1]" ]; then
            fd=${fd#/proc/}
            echo "pid ${fd%%/*} $(tr '\0' ' ' <"/proc/${fd%%/*}/cmdline" 2>/dev/null | cut -c1-80)"
            return
        fi
    done
    echo "owner unknown"
}

case "${1:-}" in
save) state >"$2" ;;
compare)
    before=$2
    for _ in $(seq 30); do
        now=$(state)
        services_now=$(grep '^service' <<<"$now" | sed 's/ (.*//')
        services_before=$(grep '^service' "$before" | sed 's/ (.*//')
        new=$(comm -13 <(grep '^listening' "$before" | sort) <(grep '^listening' <<<"$now" | sort))
        [ "$services_now" = "$services_before" ] && [ -z "$new" ] && break
        sleep 1
    done
    grep '^service' "$before" | sed 's/^/before: /'
    grep '^service' <<<"$now" | sed 's/^/after:  /'
    echo "listening before: $(grep '^listening' "$before" | cut -d' ' -f2 | paste -sd' ')"
    echo "listening after:  $(grep '^listening' <<<"$now" | cut -d' ' -f2 | paste -sd' ')"
    status=0
    if [ "$services_now" != "$services_before" ]; then
        echo "host state: a service's boot setting changed"
        status=1
    fi
    if [ -n "$new" ]; then
        listeners | while read -r addr inode; do
            if grep -qxF "listening $addr" <<<"$new"; then echo "host state: new listener $addr, $(owner "$inode")"; fi
        done
        status=1
    fi
    exit "$status"
    ;;
*) echo "usage: $0 save|compare FILE" >&2; exit 2 ;;
esac

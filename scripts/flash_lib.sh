# shellcheck shell=bash
# Helpers the flashing recipes share (scripts/flash_many.sh and
# tests/system/flash_stations.sh). Sourced, not run.

# Whether 127.0.0.1:$1 is listening.
listening() {
    grep -q "0100007F:$(printf %04X "$1") [0-9A-F:]* 0A" /proc/net/tcp
}

# $1 (default 1) TCP ports free on 127.0.0.1 now, on one line.
free_ports() {
    python3 -c 'import socket, sys
s=[socket.socket() for _ in range(int(sys.argv[1]))]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])' "${1:-1}"
}

# Whether $2 holds exactly the image of firmware file $1: the file without
# its 16-byte suffix.
same_image() { # FILE RECEIVED
    local image_size=$(($(stat -c %s "$1") - 16))
    [ -f "$2" ] && [ "$(stat -c %s "$2")" -eq "$image_size" ] &&
        cmp -s -n "$image_size" "$1" "$2"
}

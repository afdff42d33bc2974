#!/usr/bin/env bash
# The one place that names the Debian 12 packages this project's commands
# need. Installs, as root, the ones the machine lacks for the purposes given,
# and says which before it starts:
#   scripts/install_deps.sh [--with-PURPOSE]...          install
#   scripts/install_deps.sh --check [--with-PURPOSE]...  install nothing: one line
#       for what is missing and whether apt can install it; exit 1 when it cannot
# Without a purpose: the compiler, CMake and Ninja (a build without tests).
# Purposes (see `packages` below): tests, windows, fuzz, packaging, stations,
# macos, real-drivers.
#
# Installing starts no service and enables none at boot (ser2net, the SSH
# server, sysstat and rsync come with ones; the tests start their own on
# loopback): Debian's policy-rc.d refuses every start during the install
# (one already there is put back as it was), and each boot link the install
# made (systemd or rc.d) is taken away again. A service enabled before stays
# so.
set -euo pipefail

# Each purpose's packages, as data: --check reads the same table.
declare -A packages=(
    [build]="cmake ninja-build g++"
    # The CTest suites: GoogleTest, python3 (harness scripts), ser2net (the
    # network port cases), mandoc (the man page checks), ccache (the generic
    # POSIX build recompiles only the files it changes), parallel (flash_many),
    # python3-jsonschema (every report a test makes is checked against its
    # schema).
    [tests]="libgtest-dev libgmock-dev python3 python3-jsonschema ser2net parallel mandoc ccache"
    [windows]="g++-mingw-w64-x86-64-posix wine wine64"
    [fuzz]="clang libclang-rt-14-dev"
    # package.sh dates the files by the commit (git); CPack's library scan
    # (dpkg-dev, file), lintian, the zips, man-db and mandoc for the pages.
    [packaging]="git dpkg-dev lintian zip unzip file man-db mandoc"
    # flash_stations.sh: an SSH server and client, rsync (parallel's
    # --transferfile, both ends), parallel, ser2net, python3 (free ports, the
    # reports brought home checked against their schema).
    [stations]="openssh-server openssh-client rsync parallel ser2net python3 python3-jsonschema"
    # zig comes from npm; `file` shows what was built.
    [macos]="npm file"
    # test_real_drivers.sh: the emulator, the guest's busybox and initramfs
    # (cpio), the monitor's connection (socat), the kernel's modules (xz).
    [real-drivers]="qemu-system-x86 busybox-static cpio socat xz-utils"
)

check=0
purposes=(build)
for arg in "$@"; do
    case "$arg" in
    --check) check=1 ;;
    --with-*)
        purpose=${arg#--with-}
        [ -n "${packages[$purpose]+set}" ] || { echo "install_deps: unknown option $arg" >&2; exit 2; }
        purposes+=("$purpose")
        ;;
    *) echo "install_deps: unknown option $arg" >&2; exit 2 ;;
    esac
done

installed() { # PACKAGE
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}
want=()
for purpose in "${purposes[@]}"; do
    for pkg in ${packages[$purpose]}; do
        # npm comes with nodejs where that is NodeSource's build.
        if [ "$pkg" = npm ] && command -v npm >/dev/null; then continue; fi
        [[ " ${want[*]} " == *" $pkg "* ]] || want+=("$pkg")
    done
done
missing=()
for pkg in "${want[@]}"; do
    installed "$pkg" || missing+=("$pkg")
done
what="install_deps (${purposes[*]})"
if [ "${#missing[@]}" -eq 0 ]; then
    echo "$what: all ${#want[@]} packages present"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "$what: not root, so cannot install: ${missing[*]}"
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive DEBCONF_NOWARNINGS=yes
apt_get() { apt-get -o DPkg::Lock::Timeout=300 -y -qq "$@"; }
apt_get update || { echo "$what: apt-get update failed"; exit 1; }

if [ "$check" = 1 ]; then
    if apt_get install -s --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
        echo "$what: ${#missing[@]} of ${#want[@]} packages to install, all available: ${missing[*]}"
        exit 0
    fi
    for pkg in "${missing[@]}"; do
        reason=$(apt_get install -s --no-install-recommends "$pkg" 2>&1 >/dev/null | grep '^E:' | head -n 1) ||
            continue
        echo "$what: $pkg cannot be installed: ${reason#E: }"
    done
    exit 1
fi

# Our installs take turns (each puts its own policy-rc.d in place); the lock
# is on the dpkg database's folder, so no file is left behind.
exec 9</var/lib/dpkg
flock 9
boot_links() {
    find /etc/systemd/system /etc/rc[0-6S].d -type l 2>/dev/null | sort || true
}
links_before=$(boot_links)
dirs_before=$(find /etc/systemd/system -type d 2>/dev/null | sort || true)
policy=/usr/sbin/policy-rc.d
saved=$(mktemp -d)
restore_policy() {
    rm -f "$policy"
    if [ -e "$saved/policy-rc.d" ] || [ -L "$saved/policy-rc.d" ]; then mv "$saved/policy-rc.d" "$policy"; fi
    rmdir "$saved"
}
# What the install enabled goes back, also when it failed half-way:
# systemd's links are removed (the packages' scripts then take the unit as
# disabled by the administrator, also on upgrades), rc.d start links become
# stop links.
undo_enables() {
    local link left
    for link in $(comm -13 <(echo "$links_before") <(boot_links)); do
        case "$link" in
        /etc/rc*) update-rc.d "$(basename "$(readlink "$link")")" disable >/dev/null 2>&1 || true ;;
        *) [ "$(readlink "$link")" = /dev/null ] || rm -f "$link" ;;
        esac
    done
    comm -13 <(echo "$dirs_before") <(find /etc/systemd/system -type d 2>/dev/null | sort) | sort -r |
        xargs -r rmdir --ignore-fail-on-non-empty
    if [ -d /run/systemd/system ]; then systemctl daemon-reload; fi
    left=$(comm -13 <(echo "$links_before") <(boot_links) | grep -E '^/etc/rc.\.d/S|\.wants/' || true)
    [ -z "$left" ] && return 0
    echo "$what: the install enabled services that could not be disabled again: $(paste -sd' ' <<<"$left")"
    return 1
}
finish() {
    local status=$?
    undo_enables || status=1
    restore_policy
    exit "$status"
}
if [ -e "$policy" ] || [ -L "$policy" ]; then mv "$policy" "$saved/"; fi
trap finish EXIT
printf '#!/bin/sh\n# Held by install_deps.sh: no service starts while it installs.\nexit 101\n' >"$policy"
chmod 755 "$policy"

echo "$what: installing ${#missing[@]} of ${#want[@]} packages: ${missing[*]}"
apt_get install --no-install-recommends "${missing[@]}" >/dev/null

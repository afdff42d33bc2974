#!/usr/bin/env bash
# Installs, on Debian 12 as root, whatever the build and tests need and the
# machine lacks. Pass "--with-windows" to add the MinGW-w64 cross compiler and
# Wine; pass "--with-fuzz" to add clang (libFuzzer); pass "--with-packaging"
# to add what builds and checks the packages (dpkg-shlibdeps, lintian, zip,
# file for CPack's library scan, man-db and mandoc for the pages); pass
# "--with-stations" to add what tests/system/flash_stations.sh needs (an SSH
# server and client, and rsync, which parallel's --transferfile uses on both
# ends); pass "--with-macos" to add npm (the macOS cross-build fetches zig
# with it).
set -euo pipefail
# ccache: the generic POSIX build of scripts/test.sh differs from the main
# one in four files; with the compiler cache it recompiles only those, which
# keeps CI within its time on 2 cores.
# python3-jsonschema: the report test validates every report against its schema.
want=(cmake ninja-build g++ libgtest-dev libgmock-dev python3 python3-jsonschema ser2net parallel mandoc ccache)
for arg in "$@"; do
    case "$arg" in
    --with-windows) want+=(g++-mingw-w64-x86-64-posix wine wine64) ;;
    --with-fuzz) want+=(clang libclang-rt-14-dev) ;;
    --with-packaging) want+=(dpkg-dev lintian zip file man-db mandoc) ;;
    --with-stations) want+=(openssh-server openssh-client rsync) ;;
    # npm comes with nodejs where that is NodeSource's build, else with Debian's npm.
    --with-macos) want+=(file); command -v npm >/dev/null || want+=(npm) ;;
    --with-real-drivers) want+=(qemu-system-x86 busybox-static cpio socat xz-utils) ;;
    esac
done
missing=()
for pkg in "${want[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

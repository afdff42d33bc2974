#!/usr/bin/env bash
# Installs, on Debian 12 as root, whatever the build and tests need and the
# machine lacks. Pass "--with-windows" to add the MinGW-w64 cross compiler and
# Wine; pass "--with-fuzz" to add clang (libFuzzer); pass "--with-macos" to
# add npm (the macOS cross-build fetches zig with it).
set -euo pipefail
want=(cmake ninja-build g++ libgtest-dev libgmock-dev python3 ser2net parallel)
for arg in "$@"; do
    case "$arg" in
    --with-windows) want+=(g++-mingw-w64-x86-64-posix wine wine64) ;;
    --with-fuzz) want+=(clang libclang-rt-14-dev) ;;
    # npm comes with nodejs where that is NodeSource's build, else with Debian's npm.
    --with-macos) want+=(file); command -v npm >/dev/null || want+=(npm) ;;
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

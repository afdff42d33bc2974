#!/usr/bin/env bash
# Cross-builds build/windows/tarnload.exe and usbport/tarnload-ports.exe with
# MinGW-w64 (statically linked: they run on a bare Windows machine without
# the MinGW runtime DLLs).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh --with-windows
cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
cmake --build build/windows --target tarnload tarnload-ports
echo "built build/windows/tarnload.exe and build/windows/usbport/tarnload-ports.exe"

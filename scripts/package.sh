#!/usr/bin/env bash
# Writes the release artefacts into dist/:
#   tarnload_<version>_amd64.deb              the three programs, their pages, the
#                                             report's JSON Schema
#   tarnload-<version>-windows-x86_64.zip     tarnload.exe, tarnload-ports.exe,
#                                             their pages as text, README.txt,
#                                             LICENSE.txt, report.schema.json
#   tarnload-<version>-macos-<arch>.zip       tarnload, tarnload-ports, tarnsim,
#                                             their pages, README.md, LICENSE,
#                                             report.schema.json
#                                             (arm64 and x86_64; built, not run)
#   SHA256SUMS                                of every other file in dist/
# The version is the CMake project version. The artefacts are reproducible:
# built from the commit in fresh folders under build/package/, dated by the
# commit (SOURCE_DATE_EPOCH), with the source and build paths mapped out,
# stripped, and the zip's entries in a fixed order with fixed times, so two
# clones of one commit give the same bytes wherever and whenever they run
# (SOURCE_DATE_EPOCH, when set, stands for the commit time: e.g. outside git).
# The .deb must pass lintian with no error and no warning.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh --with-windows --with-packaging --with-macos
root=$PWD
dist=$root/dist
work=$root/build/package
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
umask 022

# Compile flags common to every artefact: no path of this machine in the bytes.
path_flags() { # BUILD_DIR
    echo "-ffile-prefix-map=$root=. -ffile-prefix-map=$1=."
}

project_version() { # BUILD_DIR
    sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

# The .deb, with Debian's usual hardening (as dpkg-buildflags gives it).
build_deb() {
    local build=$work/deb
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_WERROR=ON \
        -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
        -DCMAKE_CXX_FLAGS="$(path_flags "$build") -D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
        -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now" >/dev/null
    cmake --build "$build" --target tarnload tarnload-ports tarnsim
    (cd "$build" && cpack -G DEB -B "$build/cpack" >/dev/null)
    local deb
    deb=tarnload_$(project_version "$build")_amd64.deb
    cp "$build/cpack/$deb" "$dist/"
    # Only lintian's note on running as root is dropped from its output.
    echo "lintian $deb:"
    lintian --fail-on error,warning "$dist/$deb" 2> >(grep -v 'running with root privileges' >&2) ||
        { echo "lintian: $deb has errors or warnings"; return 1; }
    echo "lintian: no error, no warning"
}

# The Windows zip: the static exes (their PE headers carry no link time), and
# the text files with CRLF line ends under a folder named like the zip; the
# manual pages (configured by the .deb's build) as plain text, since Windows
# has no man.
build_windows_zip() {
    local build=$work/windows
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_WERROR=ON \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_CXX_FLAGS="$(path_flags "$build")" \
        -DCMAKE_EXE_LINKER_FLAGS="-s -Wl,--no-insert-timestamp" >/dev/null
    cmake --build "$build" --target tarnload tarnload-ports
    local name
    name=tarnload-$(project_version "$build")-windows-x86_64
    local stage=$build/zip/$name
    mkdir -p "$stage"
    cp "$build/tarnload.exe" "$build/usbport/tarnload-ports.exe" "$stage/"
    sed 's/$/\r/' README.md >"$stage/README.txt"
    sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
    cp report/report.schema.json "$stage/"
    local page
    for page in tarnload tarnload-ports; do
        mandoc -T ascii -O width=78 "$work/deb/man/$page.1" | sed 's/.\x08//g; s/$/\r/' \
            >"$stage/$page.txt"
    done
    find "$build/zip" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    (cd "$build/zip" && find "$name" -type f | sort | zip -X -D -9 -q "$dist/$name.zip" -@)
}

# A zip per macOS architecture: the programs (cross-built with zig, see
# scripts/build_macos.sh) and the text files, as the Windows zip has them.
build_macos_zips() {
    local build=$work/macos
    TARN_TOOLS_DIR=$work/tools bash scripts/build_macos.sh "$build"
    local version arch name stage
    version=$(project_version "$build-arm64")
    for arch in arm64 x86_64; do
        name=tarnload-$version-macos-$arch
        stage=$build/zip-$arch/$name
        mkdir -p "$stage"
        install -m 0755 "$build-$arch/tarnload" "$build-$arch/usbport/tarnload-ports" \
            "$build-$arch/sim/tarnsim" "$stage/"
        install -m 0644 README.md LICENSE report/report.schema.json "$build-$arch"/man/*.1 "$stage/"
        find "$build/zip-$arch" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
        (cd "$build/zip-$arch" && find "$name" -type f | sort | zip -X -D -9 -q "$dist/$name.zip" -@)
    done
}

write_sums() {
    (cd "$dist" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | sort |
        xargs sha256sum >SHA256SUMS)
}

rm -rf "$work" "$dist"
mkdir -p "$work" "$dist"
build_deb
build_windows_zip
build_macos_zips
write_sums
rm -rf "$work"
cat "$dist/SHA256SUMS"

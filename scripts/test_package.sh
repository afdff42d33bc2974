#!/usr/bin/env bash
# The packaging stage of scripts/test.sh, on the committed HEAD:
#   1. scripts/package.sh in a fresh clone (lintian clean: package.sh checks
#      it); with --twice, again in a second clone in another folder, and the
#      two SHA256SUMS must be identical (the reproducibility check: run it
#      before a release; CI runs one clone to stay within its time);
#   2. the .deb installed with apt-get: tarnload and tarnsim on PATH, tarnsim
#      giving the project version, `man -w tarnload` finding the page;
#   3. the package purged: none of its files left.
# Needs root and a machine where no tarnload package is installed. Leaves
# nothing behind: the clones are removed and the package purged on any exit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh --with-packaging
if dpkg -s tarnload >/dev/null 2>&1; then
    echo "test_package: a tarnload package is already installed; purge it first"
    exit 1
fi
tmp=$(mktemp -d /tmp/tarnload-package.XXXXXX)
installed=0
cleanup() {
    if [ "$installed" = 1 ]; then apt-get purge -y -qq tarnload >/dev/null || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
apt_get() { apt-get -o DPkg::Lock::Timeout=300 -y -qq "$@"; }

first=$tmp/first/tarnload
second=$tmp/elsewhere/second-clone
clones=("$first")
if [ "${1:-}" = --twice ]; then clones+=("$second"); fi
for clone in "${clones[@]}"; do
    git clone -q . "$clone"
    start=$SECONDS
    bash "$clone/scripts/package.sh" >"$clone.log" 2>&1 || { cat "$clone.log"; exit 1; }
    sed -n '/^lintian /,/^lintian: /p' "$clone.log"
    echo "package.sh in $clone: $((SECONDS - start)) s"
done
if [ "${#clones[@]}" = 2 ]; then
    sha256sum "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS"
    if ! cmp -s "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS"; then
        diff "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS" || true
        echo "test_package: the two clones' artefacts differ"
        exit 1
    fi
    echo "reproducible: both clones gave the same SHA256SUMS"
else
    sha256sum "$first/dist/SHA256SUMS"
fi
# The stations stage installs these files rather than build them a third time.
rm -rf dist
cp -r "$first/dist" dist

fail() { echo "test_package: $*"; exit 1; }
deb=$(ls "$first"/dist/tarnload_*_amd64.deb)
version=$(dpkg-deb -f "$deb" Version)
# (grep without -q in pipelines: an early exit would fail the writer with SIGPIPE.)
unzip -p "$first/dist/tarnload-$version-windows-x86_64.zip" '*/tarnload.exe' | strings -el |
    grep -x "$version" >/dev/null || fail "tarnload.exe has no version resource of $version"
start=$(date +%s%N)
installed=1
apt_get install "$deb" >/dev/null
ms=$((($(date +%s%N) - start) / 1000000))
echo "installed in $((ms / 1000)).$(printf %03d $((ms % 1000))) s," \
    "$(dpkg-query -W -f='${Installed-Size}' tarnload) KiB installed, $(stat -c %s "$deb") bytes of package"
[ "$(command -v tarnload)" = /usr/bin/tarnload ] || fail "tarnload is not on PATH"
status=0
usage=$(tarnload 2>&1) || status=$?
[ "$status" = 1 ] || fail "tarnload without arguments exited $status"
[[ "$usage" == Usage:* ]] || fail "tarnload without arguments printed: $usage"
[ "$(tarnsim --version)" = "tarnsim $version" ] || fail "tarnsim --version: $(tarnsim --version)"
[ "$(man -w tarnload)" = /usr/share/man/man1/tarnload.1.gz ] || fail "man -w tarnload"
for page in tarnload tarnsim; do
    zcat "/usr/share/man/man1/$page.1.gz" | grep '^\.TH' | grep -F "$version" >/dev/null ||
        fail "the $page page's footer does not name $version"
done

apt_get purge tarnload >/dev/null
installed=0
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '/$')
left=0
for path in $files usr/share/doc/tarnload; do
    if [ -e "/$path" ]; then echo "left after purge: /$path"; left=1; fi
done
[ "$left" = 0 ] || exit 1
echo "test_package: passed"

#!/usr/bin/env bash
# The packaging stage of scripts/test.sh, on the committed HEAD:
#   1. scripts/package.sh in a fresh clone (lintian clean: package.sh checks
#      it); with --twice, again in a second clone in another folder, and the
#      two SHA256SUMS must be identical (the reproducibility check: run it
#      before a release; CI runs one clone to stay within its time);
#   2. apt can install the .deb here (its dependencies resolve), and dpkg
#      installs it into a private root of its own (dpkg --root): tarnload and
#      tarnsim found on PATH there, tarnsim giving the project version,
#      `man -w tarnload` finding the page;
#   3. the package purged from that root: none of its files left.
# The machine's own dpkg database and files are not touched, so a tarnload
# package installed here stays as it is. Needs root (dpkg). Leaves nothing
# behind: the clones and the private root are removed on any exit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh --with-packaging
tmp=$(mktemp -d /tmp/tarnload-package.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

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
apt-get -o DPkg::Lock::Timeout=300 -s -qq install "$deb" >/dev/null ||
    fail "apt cannot install $deb here (its dependencies do not resolve)"
# A root of its own: the dpkg database starts empty there, so the libraries
# the package depends on are this machine's, seen through --force-depends.
root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
dpkg_root() {
    dpkg --root="$root" --log="$tmp/dpkg.log" --force-depends "$@" >"$tmp/dpkg.out" 2>&1 ||
        { cat "$tmp/dpkg.out"; return 1; }
}
start=$(date +%s%N)
dpkg_root --install "$deb"
ms=$((($(date +%s%N) - start) / 1000000))
echo "installed into $root in $((ms / 1000)).$(printf %03d $((ms % 1000))) s," \
    "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Installed-Size}' tarnload) KiB installed, $(stat -c %s "$deb") bytes of package"
[ "$(PATH=$root/usr/bin:$PATH command -v tarnload)" = "$root/usr/bin/tarnload" ] || fail "tarnload is not on PATH"
[ "$(PATH=$root/usr/bin:$PATH command -v tarnsim)" = "$root/usr/bin/tarnsim" ] || fail "tarnsim is not on PATH"
status=0
usage=$("$root/usr/bin/tarnload" 2>&1) || status=$?
[ "$status" = 1 ] || fail "tarnload without arguments exited $status"
[[ "$usage" == Usage:* ]] || fail "tarnload without arguments printed: $usage"
[ "$("$root/usr/bin/tarnsim" --version)" = "tarnsim $version" ] || fail "tarnsim --version: $("$root/usr/bin/tarnsim" --version)"
[ "$(MANPATH=$root/usr/share/man man -w tarnload)" = "$root/usr/share/man/man1/tarnload.1.gz" ] || fail "man -w tarnload"
for page in tarnload tarnsim; do
    zcat "$root/usr/share/man/man1/$page.1.gz" | grep '^\.TH' | grep -F "$version" >/dev/null ||
        fail "the $page page's footer does not name $version"
done

dpkg_root --purge tarnload
left=$(find "$root" -path "$root/var/lib/dpkg" -prune -o ! -type d -print -o -path "$root/usr/share/doc/tarnload" -print)
[ -z "$left" ] || { echo "left after purge: $(tr '\n' ' ' <<<"$left")"; exit 1; }
echo "test_package: passed"

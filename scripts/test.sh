#!/usr/bin/env bash
# Every test of the project, as CI runs it:
#   1. a build with warnings fatal, and its test suite;
#   2. the same suite under AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. tarnload.exe cross-built with MinGW-w64 and run under Wine;
#   4. short fuzzing runs and a small fault-injection soak;
#   5. the suite again on the generic POSIX build;
#   6. tarnload on real kernel serial drivers (a 16550 and an FTDI adapter)
#      in a QEMU guest;
#   7. the release files (the .deb, the Windows zip, and the macOS zips
#      cross-built with zig) from a fresh clone, lintian-checked; the .deb
#      installed into a private dpkg root and purged (the two-clone
#      reproducibility check is scripts/test_package.sh --twice, run before
#      a release);
#   8. the stations recipe over SSH, installed from that package.
# Each stage's time is printed as it ends. Every prerequisite is checked
# first, one line each; then the packages the stages need are installed
# (starting no service and enabling none). After each stage the ssh and
# ser2net services' boot settings and the listening TCP ports must be as
# they were before the run (scripts/host_state.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
# What the stages need, as install_deps.sh's purposes.
needs=(--with-tests --with-windows --with-fuzz --with-packaging --with-macos --with-stations
    --with-real-drivers)
# Cold, the packages and build trees take about this much (measured on a
# minimal Debian 12 root).
need_gib=4

problems=0
problem() { echo "test.sh: $*"; problems=$((problems + 1)); }
[ "$(id -u)" = 0 ] || problem "not root: the packages are installed, and the package and stations stages run, as root"
if [ ! -e .git ]; then
    problem "not a git checkout: the package stage clones the commit and dates the files by it"
elif command -v git >/dev/null; then
    git rev-parse -q --verify HEAD >/dev/null || problem "the git checkout has no commit"
    [ -z "$(git status --porcelain --untracked-files=no)" ] ||
        echo "test.sh: note: uncommitted changes are not in the package stage (it builds HEAD)"
fi
bash scripts/install_deps.sh --check "${needs[@]}" || problems=$((problems + 1))
for account in tarnstation1 tarnstation2; do
    ! getent passwd "$account" >/dev/null || problem "account $account exists: the stations stage makes and removes it"
done
if [ "$(dpkg-query -W -f='${db:Status-Status}' tarnload 2>/dev/null)" = installed ]; then
    echo "test.sh: note: tarnload $(dpkg-query -W -f='${Version}' tarnload) is installed; the tests leave it as it is"
fi
free_gib=$(($(df -Pk . | awk 'NR == 2 {print $4}') / 1024 / 1024))
[ "$free_gib" -ge "$need_gib" ] || problem "$free_gib GiB free here; a first run needs about $need_gib GiB"
if [ "$problems" -gt 0 ]; then
    echo "test.sh: prerequisites missing: $problems; no stage was run"
    exit 1
fi

state=$(mktemp)
trap 'rm -f "$state"' EXIT
bash scripts/host_state.sh save "$state"
bash scripts/install_deps.sh "${needs[@]}"
# The macOS cross-build's zig comes from the npm registry.
zig_pkg=$(sed -n 's/^zig_pkg=//p' scripts/build_macos.sh)
if ! npm_said=$(timeout 30 npm view "$zig_pkg" version --fetch-retries=0 2>&1); then
    why=$(grep -m 1 -E '^npm ERR! (code|errno|[a-z].*)' <<<"$npm_said" || true)
    why=${why#npm ERR! }
    echo "test.sh: the npm registry does not answer (npm view $zig_pkg: ${why:-no answer within 30 s});" \
        "the package stage needs it"
    exit 1
fi
echo "test.sh: npm registry answers ($zig_pkg)"
host_as_before() { # [--show]: print the comparison also when it holds
    local out
    out=$(bash scripts/host_state.sh compare "$state") || { echo "$out"; exit 1; }
    if [ "${1:-}" = --show ]; then echo "$out"; fi
}
host_as_before

jobs=$(nproc)
began=$SECONDS
stage() { # NAME COMMAND...
    local start=$SECONDS
    "${@:2}"
    echo "stage $1: $((SECONDS - start)) s (all: $((SECONDS - began)) s)"
    host_as_before
}
suite() { # BUILD_DIR TIMEOUT CMAKE_ARGS...
    cmake -S . -B "$1" -G Ninja -DTARN_WERROR=ON "${@:3}"
    cmake --build "$1"
    ctest --test-dir "$1" --output-on-failure -j"$jobs" --timeout "$2"
}

# The main and the generic POSIX builds share a compiler cache (fresh each
# run): they differ in four files.
export CCACHE_DIR=$PWD/build/ccache CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
rm -rf "$CCACHE_DIR"
stage release suite build/release 120 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
stage asan suite build/asan 240 -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE=ON
stage windows bash -c 'scripts/build_windows.sh && bash scripts/test_wine.sh'
stage fuzz bash scripts/test_fuzz.sh
stage generic bash scripts/test_posix_generic.sh
stage real-drivers bash scripts/test_real_drivers.sh
unset CCACHE_DIR CCACHE_BASEDIR CCACHE_NOHASHDIR
stage package bash scripts/test_package.sh
stage stations bash tests/system/flash_stations.sh --small
echo "services and listening ports, before the run and now:"
host_as_before --show
echo "all test stages passed"

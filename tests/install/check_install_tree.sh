#!/usr/bin/env bash
# Installs BUILD into a temporary prefix and fails unless exactly the files
# below arrive: a file missing, or anything else (a test helper, a library,
# GoogleTest's own rules) leaking into the install, is a packaging fault.
# Usage: check_install_tree.sh CMAKE BUILD
set -euo pipefail
cmake=$1
build=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
diff -u <(printf '%s\n' \
    bin/tarnload \
    bin/tarnload-ports \
    bin/tarnsim \
    share/doc/tarnload/LICENSE \
    share/doc/tarnload/README.md \
    share/man/man1/tarnload-ports.1 \
    share/man/man1/tarnload.1 \
    share/man/man1/tarnsim.1 \
    share/tarnload/report.schema.json) \
    <(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
for program in bin/tarnload bin/tarnload-ports bin/tarnsim; do
    [ -x "$prefix/$program" ] || { echo "$program is not executable"; exit 1; }
done
echo "install tree: as expected"

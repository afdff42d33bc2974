#!/usr/bin/env bash
# The main job. Not complete yet: builds tarnload and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/demo --target tarnload
build/demo/tarnload || true

#!/usr/bin/env bash
# Configures and builds one build tree; extra arguments go to cmake's configure step and stay in that
# tree's cache until changed. The settings the program is built with are printed every time.
#   scripts/build.sh [-DNAME=VALUE ...]            the program, its tests and benchmarks, in build/
#   scripts/build.sh --program [-DNAME=VALUE ...]  the program alone, in build-run/
#   CASTORA_BUILD_DIR  another build tree
set -euo pipefail
cd "$(dirname "$0")/.."
build=${CASTORA_BUILD_DIR:-build}
options=()
if [ "${1:-}" = "--program" ]; then
  shift
  build=${CASTORA_BUILD_DIR:-build-run}
  options=(-DBUILD_TESTING=OFF -DCASTORA_BENCH=OFF)
fi
echo "Configuring $build/ with:"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" "$@" |
  sed -n 's/^-- Build setting /    /p'
cmake --build "$build" -j"$(nproc)"

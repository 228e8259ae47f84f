#!/usr/bin/env bash
# Builds the program and starts it in build/run, which holds the program, the lists and the update archive.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
cd build/run
exec ./castora-player

#!/usr/bin/env bash
# Builds the program alone into build-run/ (no test packages needed) and starts it in build-run/run, which
# holds the program, the lists and the update archive. Extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh --program "$@"
cd "${CASTORA_BUILD_DIR:-build-run}/run"
exec ./castora-player

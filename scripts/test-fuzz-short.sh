#!/usr/bin/env bash
# Short fuzzing run for the test command: every libFuzzer target for about 30 s.
#   FUZZ_SECONDS  time per target (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
exec tools/fuzz "${FUZZ_SECONDS:-30}"

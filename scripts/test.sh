#!/usr/bin/env bash
# Checks the code's format, builds everything and runs the whole test suite: the CTest suite, then the same
# suite built with AddressSanitizer and UndefinedBehaviorSanitizer, then a short run of every fuzz target.
# Needs the packages of `scripts/install-deps.sh --test`.
#   CASTORA_QUICK_TEST=1  only the first of the three
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/check-format.sh
scripts/build.sh
(cd build && ctest --output-on-failure -j2 --timeout 600)
[ "${CASTORA_QUICK_TEST:-0}" = 1 ] && exit 0
scripts/test-sanitize.sh
scripts/test-fuzz-short.sh

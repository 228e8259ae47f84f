#!/usr/bin/env bash
# Fails when a C++ file of src/, tests/ or bench/ differs from .clang-format; prints what would change.
#   scripts/check-format.sh --fix   rewrites the files instead
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -co --exclude-standard 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' \
  'bench/*.cpp' 'bench/*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! clang-format --dry-run -Werror "${files[@]}"; then
  echo "check-format.sh: the files above differ from .clang-format (scripts/check-format.sh --fix)" >&2
  exit 1
fi
echo "check-format.sh: ${#files[@]} files follow .clang-format"

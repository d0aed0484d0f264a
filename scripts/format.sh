#!/usr/bin/env bash
# Checks that the C++ tree matches .clang-format; the extensions under libs/
# keep the database server's own style. With --fix, formats in place.
# Usage: scripts/format.sh [--fix]
set -uo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' | grep -v '^libs/')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run -Werror "${files[@]}"
fi

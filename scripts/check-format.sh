#!/usr/bin/env bash
# Checks that every C++ source in the tree is formatted as .clang-format says;
# lists the files that differ and fails when there are any.
# Usage: scripts/check-format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "clang-format is not installed" >&2; exit 1; }
fix=false
[ "${1:-}" = "--fix" ] && fix=true
bad=0
while IFS= read -r -d '' file; do
  if $fix; then
    clang-format -i "$file"
  elif ! clang-format "$file" | cmp -s - "$file"; then
    echo "not formatted: $file" >&2
    bad=1
  fi
done < <(git ls-files -z '*.cpp' '*.hpp')
if [ "$bad" -ne 0 ]; then
  echo "run: bash scripts/check-format.sh --fix" >&2
  exit 1
fi
echo "formatting: ok"

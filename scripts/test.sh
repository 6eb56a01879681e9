#!/usr/bin/env bash
# Sets up the machine, builds and runs the whole test suite; ends with CTest's summary.
# Usage: scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
dir="${1:-build}"
shift || true
bash scripts/build.sh "$dir" "$@"
ctest --test-dir "$dir" --output-on-failure -j"${JOBS:-2}"

#!/usr/bin/env bash
# Runs shellcheck on every shell script in share/, scripts/ and bench/: the
# *.sh and *.bash files and the extension-less commands whose first line names
# sh or bash. Lists the findings and fails when there are any.
# Usage: scripts/check-shell.sh
set -euo pipefail
cd "$(dirname "$0")/.."
command -v shellcheck >/dev/null || { echo "shellcheck is not installed" >&2; exit 1; }
scripts=()
while IFS= read -r -d '' file; do
  case "$file" in
    *.sh | *.bash) scripts+=("$file") ;;
    *.*) ;;
    *) head -n 1 "$file" | grep -Eq '^#!.*[/ ](ba)?sh( |$)' && scripts+=("$file") ;;
  esac
done < <(git ls-files -z share scripts bench)
# -x follows the files a script sources, e.g. the build filesystem commands'
# common functions.
shellcheck -x "${scripts[@]}"
echo "shell scripts: ok (${#scripts[@]} checked)"

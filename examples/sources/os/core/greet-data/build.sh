#!/bin/bash
# Generates the greeting table from src/greetings.in: comments and blank lines
# dropped, "Language: phrase" turned into "Language<TAB>phrase", sorted by
# language. Fails on a line that is not of that form.
set -euo pipefail
dist=$VDPK_PACKAGE_BUILD_DIST_DIR

bad=$(grep -vnE '^[[:space:]]*(#.*)?$|^[A-Z][A-Za-z ]*: .*NAME' greetings.in || true)
if [[ -n $bad ]]; then
  echo "greetings.in: malformed line(s):" >&2
  echo "$bad" >&2
  exit 1
fi

mkdir -p "$dist/usr/share/greet"
grep -vE '^[[:space:]]*(#.*)?$' greetings.in |
  sed -E 's/^([^:]+):[[:space:]]*/\1\t/' |
  LC_ALL=C sort >"$dist/usr/share/greet/greetings.tsv"
echo "generated $(wc -l <"$dist/usr/share/greet/greetings.tsv") greetings"

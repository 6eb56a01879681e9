#!/usr/bin/env bash
# Packs the example package sources below examples/packages/OS/NAME into a
# repository tree the way the build tool does: OUT/OS/NAME/VERSION/NAME-VERSION-x64.vdpk.tar.bz2,
# each archive holding package.yml and the files tree, owned by root.
# Usage: scripts/pack-examples.sh OUT_DIR
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:?usage: pack-examples.sh OUT_DIR}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

for src in "$top"/examples/packages/*/*/; do
  src="${src%/}"
  name="$(sed -n 's/^name: *//p' "$src/package.yml")"
  os="$(sed -n 's/^os: *//p' "$src/package.yml")"
  version="$(sed -n 's/^version: *//p' "$src/package.yml")"
  stage="$(mktemp -d)"
  cp "$src/package.yml" "$stage/"
  cp -a "$src/files" "$stage/files"
  dest="$out/$os/$name/$version"
  mkdir -p "$dest"
  fakeroot tar -cjf "$dest/$name-$version-x64.vdpk.tar.bz2" -C "$stage" .
  rm -rf "$stage"
  echo "packed $os/$name/$version"
done

#!/usr/bin/env bash
# Inspection figures (not a test): the time vdpk takes to read the manifest of
# a package archive of 10,000 files before its prompt, for an archive packed
# the plain way (tar -cjf ARCHIVE -C dist .: the manifest wherever the walk
# puts it) and one packed the way vd-build packs (the manifest first).
#
# Usage: bench/inspect-bench.sh [BUILD_DIR] [FILES]   (defaults: build, 10000)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$top/build}" && pwd)"
files="${2:-10000}"
bench="$build/bin/inspect-bench"
[ -x "$bench" ] || { echo "no inspect-bench at $bench: build it first" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/inspect-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT

dist="$work/dist"
mkdir -p "$dist/files/usr/share/big"
for i in $(seq 1 "$files"); do
  printf 'file %d\n' "$i" >"$dist/files/usr/share/big/f$i"
done
head -c 2097152 /dev/urandom >"$dist/files/usr/share/big/blob"
printf 'name: "big"\nos: "linux"\nversion: "1.0"\narch: "x64"\n' >"$dist/package.yml"
# The walk of "." puts package.yml after files/ here, as it does on most file
# systems for a tree created in this order.
tar -cjf "$work/plain.vdpk.tar.bz2" -C "$dist" .
# The same members with the manifest last, as the walk puts it on other file
# systems: the inspection then decompresses the whole archive.
tar -cjf "$work/last.vdpk.tar.bz2" -C "$dist" --no-recursion . --recursion ./files ./package.yml
tar -cjf "$work/first.vdpk.tar.bz2" -C "$dist" ./package.yml --exclude=./package.yml .
echo "== $files files, archives of $(stat -c %s "$work/plain.vdpk.tar.bz2") bytes"
echo "plain order: manifest is member $(tar -tjf "$work/plain.vdpk.tar.bz2" | grep -n '^./package.yml$' | cut -d: -f1)"
echo "manifest last: manifest is member $(tar -tjf "$work/last.vdpk.tar.bz2" | grep -n '^./package.yml$' | cut -d: -f1)"
echo "vd-build order: manifest is member $(tar -tjf "$work/first.vdpk.tar.bz2" | grep -n '^./package.yml$' | cut -d: -f1)"
"$bench" "$work/plain.vdpk.tar.bz2" "$work/last.vdpk.tar.bz2" "$work/first.vdpk.tar.bz2"
echo "machine load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"

#!/usr/bin/env bash
# Repository fetch figures (not a test). Builds a repository of 300 packages
# in three OS directories, serves it on 127.0.0.1 and times
#   vdpk --install app
# where app needs a chain of five dependencies that are not installed, into a
# fresh temporary prefix and cache each run, against the floor of one curl
# process downloading the same six archives followed by tar -xjf of each.
# Prints the request and connection counts, both times and their ratio.
# Then the same with an index.yml made by vd-build --index-repository,
# unsigned and signed (a key pair made by minisign), and the time to read
# and resolve an index of 10,000 packages (index-bench).
#
# Usage: bench/fetch-bench.sh [BUILD_DIR] [RUNS]   (defaults: build, 3)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$top/build}" && pwd)"
runs="${2:-3}"
vdpk="$build/bin/vdpk"
[ -x "$vdpk" ] || { echo "no vdpk at $vdpk: build it first (scripts/build.sh)" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/fetch-bench-XXXXXX")"
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

os_dirs=(core extra desktop)

# pack OS NAME VERSION [DEPENDENCY...]: stages package.yml and files/, then
# packs them the way the builder does into repo/OS/NAME/VERSION/.
pack() {
  local os="$1" name="$2" version="$3"
  shift 3
  local stage="$work/stage/$name-$version"
  mkdir -p "$stage/files/usr/share/$name"
  {
    printf 'name: "%s"\nos: "linux"\nversion: "%s"\narch: "x64"\n' "$name" "$version"
    if [ "$#" -gt 0 ]; then
      echo "depends:"
      for dep in "$@"; do printf '  - "%s"\n' "$dep"; done
    fi
  } >"$stage/package.yml"
  printf '%s %s\n' "$name" "$version" >"$stage/files/usr/share/$name/README"
  head -c 4096 /dev/urandom >"$stage/files/usr/share/$name/data.bin"
  local dir="$work/repo/$os/$name/$version"
  mkdir -p "$dir"
  tar -cjf "$dir/$name-$version-x64.vdpk.tar.bz2" -C "$stage" .
  rm -rf "$stage"
}

echo "== Building the repository"
# The chain app -> dep-1 -> ... -> dep-5, spread over the OS directories, each
# with older versions beside the newest so the version choice matters.
chain=(app dep-1 dep-2 dep-3 dep-4 dep-5)
wanted=()
for i in "${!chain[@]}"; do
  name="${chain[$i]}"
  os="${os_dirs[$((i % 3))]}"
  next=()
  [ "$i" -lt 5 ] && next=("${chain[$((i + 1))]}")
  for version in 1.9 1.10; do
    pack "$os" "$name" "$version" "${next[@]}"
  done
  wanted+=("$os/$name/1.10/$name-1.10-x64.vdpk.tar.bz2")
done
for i in $(seq 1 294); do
  pack "${os_dirs[$((i % 3))]}" "$(printf 'pkg-%03d' "$i")" 1.0
done
echo "300 packages in ${os_dirs[*]}"

echo "== Serving it on 127.0.0.1"
# The server logs one line per request on standard error ("GET /path STATUS")
# and one per accepted connection ("CONNECTION n").
/usr/bin/python3 -u "$top/tests/support/repo_server.py" "$work/repo" \
  >"$work/server.out" 2>>"$work/server.log" &
server_pid=$!
port=
for _ in $(seq 1 100); do
  port="$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$work/server.out" | head -n 1)"
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the HTTP server did not start" >&2; exit 1; }
url="http://127.0.0.1:$port"

now() { date +%s%N; }
seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }
log_lines() { wc -l <"$work/server.log"; }

best_vdpk=
best_curl=
best_declined=
for run in $(seq 1 "$runs"); do
  rm -rf "$work/run" && mkdir -p "$work/run/etc" "$work/run/prefix" "$work/run/curl" "$work/run/untar"
  cat >"$work/run/etc/pkg.yml" <<EOF
database: "$work/run/db/packages.db"
shareDir: "$top/share"
pkgRepoUrl: "$url"
pkgRepoCachePath: "$work/run/cache"
EOF

  before=$(log_lines)
  start=$(now)
  if ! echo y | "$vdpk" --config "$work/run/etc" --prefix "$work/run/prefix" --install app \
      >"$work/run/vdpk.out" 2>"$work/run/vdpk.err"; then
    echo "vdpk --install failed:" >&2
    cat "$work/run/vdpk.err" >&2
    exit 1
  fi
  vdpk_ns=$(($(now) - start))
  for name in "${chain[@]}"; do
    [ -f "$work/run/prefix/usr/share/$name/README" ] ||
      { echo "vdpk did not install $name" >&2; exit 1; }
  done
  requests="$(tail -n +"$((before + 1))" "$work/server.log")"
  total=$(grep -c '^GET ' <<<"$requests" || true)
  archives=$(grep -c '\.vdpk\.tar\.bz2 200$' <<<"$requests" || true)
  redirects=$(grep -c ' 301$' <<<"$requests" || true)
  connections=$(grep -c '^CONNECTION ' <<<"$requests" || true)

  # The same resolution with the prompt declined: fetching and inspecting
  # the six archives, nothing installed.
  rm -rf "$work/run/cache"
  start=$(now)
  echo n | "$vdpk" --config "$work/run/etc" --prefix "$work/run/prefix-declined" --install app \
    >/dev/null 2>&1
  declined_ns=$(($(now) - start))

  curl_args=()
  for rel in "${wanted[@]}"; do
    curl_args+=(-o "$work/run/curl/$(basename "$rel")" "$url/$rel")
  done
  before=$(log_lines)
  start=$(now)
  curl -sS --fail "${curl_args[@]}"
  for rel in "${wanted[@]}"; do
    tar -xjf "$work/run/curl/$(basename "$rel")" -C "$work/run/untar"
  done
  curl_ns=$(($(now) - start))
  curl_requests=$(tail -n +"$((before + 1))" "$work/server.log" | grep -c '^GET ' || true)

  echo "run $run: vdpk --install $(seconds "$vdpk_ns") s, $total requests" \
    "($archives archives, $redirects redirects, $((total - archives - redirects)) listings)" \
    "on $connections connections; declined at the prompt $(seconds "$declined_ns") s;" \
    "curl + tar floor $(seconds "$curl_ns") s, $curl_requests requests"
  if [ -z "$best_vdpk" ] || [ "$vdpk_ns" -lt "$best_vdpk" ]; then best_vdpk=$vdpk_ns; fi
  if [ -z "$best_curl" ] || [ "$curl_ns" -lt "$best_curl" ]; then best_curl=$curl_ns; fi
  if [ -z "$best_declined" ] || [ "$declined_ns" -lt "$best_declined" ]; then best_declined=$declined_ns; fi
done

echo "== Best of $runs"
echo "vdpk --install app (6 packages): $(seconds "$best_vdpk") s, $total requests on $connections connections"
echo "vdpk --install app declined at the prompt (fetch and inspect only): $(seconds "$best_declined") s"
echo "one curl process for the same 6 archives, then tar -xjf of each: $(seconds "$best_curl") s"
awk -v a="$best_vdpk" -v b="$best_curl" 'BEGIN { printf "ratio vdpk / (curl + tar): %.2fx\n", a / b }'
echo "machine load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"

# index_round LABEL [KEY_DIR]: the best of $runs installs of app with the
# repository's index (and the trusted key in KEY_DIR), against the curl floor.
index_round() {
  local label="$1" keys="${2:-}" best='' requests=0 connections=0 ns before start log
  for _ in $(seq 1 "$runs"); do
    rm -rf "$work/run" && mkdir -p "$work/run/etc" "$work/run/prefix"
    cat >"$work/run/etc/pkg.yml" <<EOF
database: "$work/run/db/packages.db"
shareDir: "$top/share"
pkgRepoUrl: "$url"
pkgRepoCachePath: "$work/run/cache"
EOF
    if [ -n "$keys" ]; then
      mkdir -p "$work/run/etc/keys" && cp "$keys/repo.pub" "$work/run/etc/keys/"
    fi
    before=$(log_lines)
    start=$(now)
    if ! echo y | "$vdpk" --config "$work/run/etc" --prefix "$work/run/prefix" --install app \
        >"$work/run/vdpk.out" 2>"$work/run/vdpk.err"; then
      echo "vdpk --install ($label index) failed:" >&2
      cat "$work/run/vdpk.err" >&2
      exit 1
    fi
    ns=$(($(now) - start))
    log="$(tail -n +"$((before + 1))" "$work/server.log")"
    requests=$(grep -c '^GET ' <<<"$log" || true)
    connections=$(grep -c '^CONNECTION ' <<<"$log" || true)
    if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
  done
  echo "vdpk --install app with the $label index: $(seconds "$best") s," \
    "$requests requests on $connections connections"
  awk -v a="$best" -v b="$best_curl" -v l="$label" \
    'BEGIN { printf "ratio vdpk with the %s index / (curl + tar): %.2fx\n", l, a / b }'
}

echo "== With an index (vd-build --index-repository)"
mkdir -p "$work/indexer"
printf 'buildFs:\n  packageRepo: "%s"\n' "$work/repo" >"$work/indexer/build.yml"
"$build/bin/vd-build" --index-repository -c "$work/indexer"
index_round unsigned

if command -v minisign >/dev/null; then
  mkdir -p "$work/keys"
  minisign -G -W -p "$work/keys/repo.pub" -s "$work/keys/repo.key" >/dev/null
  printf 'buildFs:\n  packageRepo: "%s"\n  signingKey: "%s"\n' "$work/repo" "$work/keys/repo.key" \
    >"$work/indexer/build.yml"
  "$build/bin/vd-build" --index-repository -c "$work/indexer"
  index_round signed "$work/keys"
else
  echo "minisign is not installed: no signed figures"
fi

echo "== Reading and resolving a large index"
"$build/bin/index-bench" 10000 5

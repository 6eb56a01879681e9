#!/usr/bin/env bash
# The main job, end to end on this machine: builds vdpk, packs the example
# packages into a repository, serves it over HTTP on 127.0.0.1, installs the
# top package by name (answering the prompt), lists, removes the base package
# together with everything that depends on it, and stops the server.
# Everything lands below demo/ in the work tree.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"${JOBS:-2}" --target vdpk
vdpk="$top/build/bin/vdpk"

demo="$top/demo"
rm -rf "$demo"
mkdir -p "$demo/etc" "$demo/root" "$demo/tmp"
# Unpack directories and the runner's log files stay below demo/ too.
export TMPDIR="$demo/tmp"

echo "== Packing the example packages"
bash scripts/pack-examples.sh "$demo/repo"

echo "== Serving the repository on 127.0.0.1"
server_pid=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
trap stop_server EXIT
/usr/bin/python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$demo/repo" \
  >"$demo/server.out" 2>"$demo/server.log" &
server_pid=$!
port=
for _ in $(seq 1 100); do
  port="$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$demo/server.out" | head -n 1)"
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the HTTP server did not start" >&2; exit 1; }
url="http://127.0.0.1:$port"
echo "repository: $url"

sed -e "s|@SHARE_DIR@|$top/share|" -e "s|@REPO_URL@|$url|" -e "s|@CACHE_DIR@|$demo/cache|" \
  examples/config/pkg.yml.in >"$demo/etc/pkg.yml"

run() {
  echo "\$ vdpk $*" >&2
  "$vdpk" --config "$demo/etc" --prefix "$demo/root" "$@"
}

echo "== Installing greet by name"
echo y | run --install greet
echo
echo "== Installed packages"
run --list
echo "\$ $demo/root/usr/bin/greet 3"
"$demo/root/usr/bin/greet" 3

echo "== Removing greet-data with everything that depends on it"
echo y | run --uninstall greet-data
echo
echo "== Installed packages afterwards"
left="$(run --list)"
echo "${left:-(none)}"

stop_server
echo "== Done"

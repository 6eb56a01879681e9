#!/usr/bin/env bash
# Query benchmark: vdpk's read-only queries on a database of many packages.
#
# usage: bench/query-bench.sh [PACKAGES] [FILES] [VDPK]
#   PACKAGES  packages in the database (default 500)
#   FILES     file rows in the database (default 100000)
#   VDPK      the vdpk binary (default $VDPK or build/bin/vdpk)
#   RUNS      environment: runs per figure (default 21; medians are printed)
#   BENCH_DIR environment: where to work (default $TMPDIR or /tmp)
#
# Installs one real package "big" of 10000 entries (bench/make-tree.py) into a
# fresh prefix, then adds PACKAGES - 1 packages whose FILES - 10000 file rows
# (with their details) exist only in the database. Times, as medians:
#   start      vdpk --help, the cost of starting the program
#   --owner    of a file of "big"          target: under 10 ms beyond start
#   --files    of "big"                    target: under 50 ms
#   --verify   of "big", against sha256sum over the same regular files
#              (target: within 1.3x; the page cache is warm for both)
# and afterwards runs bench/install-bench.sh (RUNS=3), whose install figure
# now includes taking the digests (target: within 1.3x of tar -xjf).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
packages="${1:-500}"
files="${2:-100000}"
vdpk="${3:-${VDPK:-$repo/build/bin/vdpk}}"
runs="${RUNS:-21}"

[ -x "$vdpk" ] || { echo "vdpk not found or not executable: $vdpk" >&2; exit 1; }
vdpk="$(cd "$(dirname "$vdpk")" && pwd)/$(basename "$vdpk")"

work="$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/vdpk-query-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp" "$work/etc"
export TMPDIR="$work/tmp"
cat >"$work/etc/pkg.yml" <<EOF
database: "/var/lib/vdpk/packages.db"
shareDir: "$repo/share"
pkgRepoUrl: "http://127.0.0.1:9/"
pkgRepoCachePath: "$work/cache"
EOF
prefix="$work/prefix"
database="$prefix/var/lib/vdpk/packages.db"

echo "Installing a package of 10000 entries..."
python3 "$here/make-tree.py" "$work/stage" 10000 big
tar -cjf "$work/big.tar.bz2" -C "$work/stage" .
rm -rf "$work/stage"
"$vdpk" --config "$work/etc" --prefix "$prefix" --install --file "$work/big.tar.bz2" 2>"$work/install.log" ||
    { tail -5 "$work/install.log" >&2; exit 1; }

echo "Adding $((packages - 1)) packages and $((files - 10000)) file rows..."
python3 - "$database" "$packages" "$files" <<'EOF'
import sqlite3, sys, time
database, packages, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
db = sqlite3.connect(database)
have = db.execute("SELECT count(*) FROM file").fetchone()[0]
rest = files - have
per = rest // (packages - 1)
now = int(time.time())
with db:
    for p in range(1, packages):
        cur = db.execute("INSERT INTO package(name, version) VALUES (?, '1.0')", (f"pkg{p:03}",))
        pid = cur.lastrowid
        db.execute("INSERT INTO package_detail VALUES (?, 'requested', ?)", (pid, now))
        if p > 1:
            db.execute("INSERT INTO dependency(dependency_name, package_id) VALUES (?, ?)", (f"pkg{p - 1:03}", pid))
        count = per if p < packages - 1 else rest - per * (packages - 2)
        rows = [(pid, f"usr/share/pkg{p:03}/dir{i // 50}/file{i}") for i in range(count)]
        db.executemany("INSERT INTO file(package_id, name) VALUES (?, ?)", rows)
        db.executemany("INSERT INTO file_detail VALUES (?, ?, 'file', 420, 0, 0, 100, ?, NULL)",
                       [(r[0], r[1], "0" * 64) for r in rows])
print("packages:", db.execute("SELECT count(*) FROM package").fetchone()[0],
      "files:", db.execute("SELECT count(*) FROM file").fetchone()[0])
EOF

owned="$prefix/$(python3 -c 'import sqlite3, sys
print(sqlite3.connect(sys.argv[1]).execute("SELECT f.name FROM file f JOIN package p ON p.id = f.package_id "
      "WHERE p.name = ? AND f.name LIKE ?", ("big", "%/f5000")).fetchone()[0])' "$database")"
"$vdpk" --config "$work/etc" --prefix "$prefix" --owner "$owned" >/dev/null
"$vdpk" --config "$work/etc" --prefix "$prefix" --verify big >/dev/null
find "$prefix/usr" -type f -print0 >"$work/regular-files"
echo "regular files of big: $(tr -cd '\0' <"$work/regular-files" | wc -c), $(du -sh "$prefix/usr" | cut -f1)"

# Medians of RUNS interleaved runs, in milliseconds.
python3 - "$runs" "$vdpk" "$work/etc" "$prefix" "$owned" "$work/regular-files" <<'EOF'
import statistics, subprocess, sys, time
runs, vdpk, etc, prefix, owned, regular = int(sys.argv[1]), *sys.argv[2:]
base = [vdpk, "--config", etc, "--prefix", prefix]
commands = {
    "start": [vdpk, "--help"],
    "owner": base + ["--owner", owned],
    "files": base + ["--files", "big"],
    "verify": base + ["--verify", "big"],
    "sha256sum": ["sh", "-c", f"xargs -0 sha256sum <'{regular}' >/dev/null"],
}
times = {name: [] for name in commands}
for _ in range(runs):
    for name, command in commands.items():
        start = time.perf_counter()
        status = subprocess.call(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times[name].append((time.perf_counter() - start) * 1000)
        if status != 0:
            sys.exit(f"{name} failed with status {status}")
m = {name: statistics.median(values) for name, values in times.items()}
best = {name: min(values) for name, values in times.items()}
print(f"\nmedian of {runs} runs (best in brackets), milliseconds")
print(f"process start (--help)  {m['start']:8.1f}  [{best['start']:.1f}]")
print(f"--owner                 {m['owner']:8.1f}  [{best['owner']:.1f}]   beyond start {m['owner'] - m['start']:.1f} ms (< 10 ms)")
print(f"--files big (10000)     {m['files']:8.1f}  [{best['files']:.1f}]   (< 50 ms)")
print(f"sha256sum               {m['sha256sum']:8.1f}  [{best['sha256sum']:.1f}]")
print(f"--verify big            {m['verify']:8.1f}  [{best['verify']:.1f}]   {m['verify'] / m['sha256sum']:.2f}x sha256sum (<= 1.3x),"
      f" best {best['verify'] / best['sha256sum']:.2f}x")
EOF
echo "load: $(uptime)"

if [ "${SKIP_INSTALL_BENCH:-}" != 1 ]; then
    echo
    echo "Install bench, with the digests taken:"
    RUNS=3 bash "$here/install-bench.sh" 10000 "$vdpk"
fi

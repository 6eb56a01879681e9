#!/usr/bin/env bash
# Installer benchmark: how vdpk compares with the plain tools.
#
# usage: bench/install-bench.sh [N] [VDPK]
#   N     entries in the benchmark package (default 10000)
#   VDPK  the vdpk binary (default $VDPK or build/bin/vdpk)
#   RUNS  environment: rounds per figure (default 5)
#   BENCH_DIR  environment: where to work (default $TMPDIR or /tmp); a tmpfs
#         such as /dev/shm keeps disk writeback of other processes out of
#         the figures
#
# Builds a package of N entries (mostly 1-16 KiB files in nested usr/...
# directories, some symlinks, a few larger incompressible files), packs it as
# the builder does (tar -cjf ARCHIVE -C DIR .), then times, interleaved and
# RUNS times each, reporting medians:
#   floor      tar -xjf ARCHIVE into an empty directory
#   install    vdpk --install --file ARCHIVE into a fresh prefix, with lbzip2
#              on PATH when it is installed
#   install without lbzip2
#              the same with a PATH that offers only tar and bzip2
#   uninstall  vdpk --uninstall on that prefix
#   rm -rf     removal of an identical copy of the installed tree
#   sync       sync -f (syncfs) of the file system right after the floor's
#              tar -xjf: the cost of putting that much new data on disk, which
#              vdpk pays inside its install (one syncfs before the database
#              commit) and tar does not
# and the peak resident set size of the vdpk runs; then the recording of N
# file rows in a fresh package database (build/bin/record-bench, when built).
# Targets: install <= 1.3x floor, with and without lbzip2; uninstall <= 1.3x
# rm -rf at N=10000; recording 100000 rows < 0.2 s; peak memory < 64 MiB;
# from N=10000 to N=100000 both grow at most 11-fold (compare two runs).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
count="${1:-10000}"
vdpk="${2:-${VDPK:-$repo/build/bin/vdpk}}"
runs="${RUNS:-5}"
name=bench

[ -x "$vdpk" ] || { echo "vdpk not found or not executable: $vdpk" >&2; exit 1; }
vdpk="$(cd "$(dirname "$vdpk")" && pwd)/$(basename "$vdpk")"

work="$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/vdpk-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp" "$work/etc"
# vdpk's unpack directories and runner logs stay inside the work directory.
export TMPDIR="$work/tmp"

echo "Preparing a package of $count entries..."
python3 "$here/make-tree.py" "$work/stage" "$count" "$name"
archive="$work/$name-1.0-x64.vdpk.tar.bz2"
tar -cjf "$archive" -C "$work/stage" .
rm -rf "$work/stage"
echo "archive: $(du -h "$archive" | cut -f1)"

# An absolute database path: under --prefix it lands inside the prefix.
cat >"$work/etc/pkg.yml" <<EOF
database: "/var/lib/vdpk/packages.db"
shareDir: "$repo/share"
pkgRepoUrl: "http://127.0.0.1:9/"
pkgRepoCachePath: "$work/cache"
EOF

# A PATH without lbzip2, for the install that decompresses with tar's own bzip2.
mkdir -p "$work/plain-path"
for tool in tar bzip2; do ln -s "$(command -v "$tool")" "$work/plain-path/$tool"; done
have_lbzip2=no
command -v lbzip2 >/dev/null && have_lbzip2=yes
echo "lbzip2 on PATH: $have_lbzip2 ($(uptime))"

measure() { python3 "$here/measure.py" "$@"; }
declare -a floor install uninstall rmrf mem_install mem_uninstall plain mem_plain
declare -a cpu_floor cpu_install cpu_uninstall cpu_rmrf cpu_plain sync_floor

for ((r = 1; r <= runs; r++)); do
    rm -rf "$work/floor" "$work/prefix" "$work/copy"
    mkdir "$work/floor"
    read -r t _ c < <(measure tar -xjf "$archive" -C "$work/floor")
    floor+=("$t") cpu_floor+=("$c")
    read -r t _ _ < <(measure sync -f "$work/floor")
    sync_floor+=("$t")
    rm -rf "$work/floor"
    # Start every install with nothing of the earlier rounds left to write.
    sync -f "$work"

    read -r t m c < <(MEASURE_LOG="$work/install.log" measure "$vdpk" --config "$work/etc" \
        --prefix "$work/prefix" --install --file "$archive")
    install+=("$t") mem_install+=("$m") cpu_install+=("$c")
    [ -f "$work/prefix/usr/lib/big/blob0" ] || { echo "install failed, see:" >&2; tail -5 "$work/install.log" >&2; exit 1; }

    mkdir "$work/copy"
    cp -a "$work/prefix/usr" "$work/copy/usr"
    # The installed tree is on disk (vdpk synced it); the copy must be too, or
    # rm -rf would only drop pages that were never written and measure nothing.
    sync -f "$work"

    read -r t m c < <(MEASURE_LOG="$work/uninstall.log" measure "$vdpk" --config "$work/etc" \
        --prefix "$work/prefix" --uninstall "$name")
    uninstall+=("$t") mem_uninstall+=("$m") cpu_uninstall+=("$c")
    [ ! -e "$work/prefix/usr" ] || { echo "uninstall left files behind" >&2; exit 1; }

    read -r t _ c < <(measure rm -rf "$work/copy/usr")
    rmrf+=("$t") cpu_rmrf+=("$c")

    rm -rf "$work/prefix"
    read -r t m c < <(MEASURE_LOG="$work/plain.log" measure env PATH="$work/plain-path" "$vdpk" \
        --config "$work/etc" --prefix "$work/prefix" --install --file "$archive")
    plain+=("$t") mem_plain+=("$m") cpu_plain+=("$c")
    [ -f "$work/prefix/usr/lib/big/blob0" ] || { echo "install failed, see:" >&2; tail -5 "$work/plain.log" >&2; exit 1; }
    rm -rf "$work/prefix"
    echo "round $r: floor ${floor[-1]}s  sync ${sync_floor[-1]}s  install ${install[-1]}s  without lbzip2 ${plain[-1]}s" \
        " uninstall ${uninstall[-1]}s  rm -rf ${rmrf[-1]}s"
    rm -f "$work"/tmp/stdout-* "$work"/tmp/stderr-*
done

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {print a / b}'; }
max() { printf '%s\n' "$@" | sort -g | tail -1; }
min() { printf '%s\n' "$@" | sort -g | head -1; }

f=$(median "${floor[@]}")
i=$(median "${install[@]}")
u=$(median "${uninstall[@]}")
x=$(median "${rmrf[@]}")
p=$(median "${plain[@]}")
sy=$(median "${sync_floor[@]}")
fs=$(awk -v a="$f" -v b="$sy" 'BEGIN {print a + b}')
mi=$(max "${mem_install[@]}" "${mem_plain[@]}")
mu=$(max "${mem_uninstall[@]}")

cf=$(median "${cpu_floor[@]}")
ci=$(median "${cpu_install[@]}")
cu=$(median "${cpu_uninstall[@]}")
cx=$(median "${cpu_rmrf[@]}")
cp=$(median "${cpu_plain[@]}")

echo
echo "N=$count on $(df --output=fstype "$work" | tail -1) ($work), median of $runs (wall clock; CPU = user + system of all processes); lbzip2: $have_lbzip2"
echo "load: $(uptime)"
printf 'floor (tar -xjf)   %8.3f s                         CPU %8.3f s\n' "$f" "$cf"
printf 'vdpk --install     %8.3f s   %5.2fx floor  (<= 1.3x)   CPU %8.3f s  %5.2fx\n' \
    "$i" "$(ratio "$i" "$f")" "$ci" "$(ratio "$ci" "$cf")"
printf '  without lbzip2   %8.3f s   %5.2fx floor  (<= 1.3x)   CPU %8.3f s  %5.2fx\n' \
    "$p" "$(ratio "$p" "$f")" "$cp" "$(ratio "$cp" "$cf")"
printf 'sync after tar     %8.3f s   (the syncfs vdpk does before its commit)\n' "$sy"
printf 'vdpk --install     %8.3f s   %5.2fx floor + sync\n' "$i" "$(ratio "$i" "$fs")"
printf 'rm -rf             %8.3f s                         CPU %8.3f s\n' "$x" "$cx"
printf 'vdpk --uninstall   %8.3f s   %5.2fx rm -rf (<= 1.3x)   CPU %8.3f s  %5.2fx\n' \
    "$u" "$(ratio "$u" "$x")" "$cu" "$(ratio "$cu" "$cx")"
# Other load on the machine only ever adds time: the best rounds show the cost itself.
printf 'best rounds        floor %.3f s, install %.3f s (%.2fx), without lbzip2 %.3f s (%.2fx),\n' \
    "$(min "${floor[@]}")" "$(min "${install[@]}")" "$(ratio "$(min "${install[@]}")" "$(min "${floor[@]}")")" \
    "$(min "${plain[@]}")" "$(ratio "$(min "${plain[@]}")" "$(min "${floor[@]}")")"
printf '                   rm -rf %.3f s, uninstall %.3f s (%.2fx)\n' \
    "$(min "${rmrf[@]}")" "$(min "${uninstall[@]}")" "$(ratio "$(min "${uninstall[@]}")" "$(min "${rmrf[@]}")")"
printf 'peak memory        install %.1f MiB, uninstall %.1f MiB   (< 64 MiB)\n' \
    "$(ratio "$mi" 1024)" "$(ratio "$mu" 1024)"

record_bench="$(dirname "$vdpk")/record-bench"
if [ -x "$record_bench" ]; then
    echo
    TMPDIR="$work/tmp" "$record_bench" "$count" "$repo/share" 2>/dev/null
fi

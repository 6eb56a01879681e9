#!/usr/bin/env bash
# Build benchmark: vd-build's own overhead for one package.
#
# usage: bench/build-bench.sh [N] [VD_BUILD]
#   N         small files in the package (default 1000)
#   VD_BUILD  the vd-build binary (default $VD_BUILD or build/bin/vd-build)
#   RUNS      environment: rounds (default 3); the median is reported
#   BENCH_DIR environment: where to work (default $TMPDIR or /tmp)
#             a tmpfs such as /dev/shm keeps the disk out of the figures: on a
#             busy disk, writing 1,000 files costs far more than our code
#
# Makes a minimal template (scripts/make-build-template.sh), prepares a build
# filesystem from it once, then builds a package whose build script copies N
# small files into the dist directory, with --existing-build-fs so that the
# template copy and teardown stay out of the figure. Each run happens in a
# private mount namespace (run as root). Reported per package:
#   total     wall time of the vd-build run
#   waits     the mandated pause before packing (5 s)
#   script    the build script's own time, measured inside the sandbox
#   overhead  total - waits - script: clean, copy in, copy out, pack,
#             install into the build filesystem, deploy (target < 0.5 s)
# and a breakdown of the overhead, taken from the arrival times of vd-build's
# progress lines:
#   start     process start, lock, mounting, sorting, clean of the last build
#   copy in   sources into the build filesystem
#   sandbox   starting the sandbox and its shell (run time minus script time)
#   copy out  the dist tree out of the build filesystem (minus the 5 s wait)
#   pack      tar under fakeroot
#   unpack    the installer's unpacking of the archive
#   finish    moving files into the build filesystem, the database, deploy,
#             unmounting and exit
# Last, the sandbox's own cost per package: the median of SANDBOX_RUNS
# (default 20) starts of "true" in the sandbox exactly as vd-build starts a
# build script (its bwrap line, taken from the output), against "true" under a
# plain chroot, both with the runtime filesystems mounted.
# The load average is printed first: on a busy machine the figures grow.
# KEEP=1 leaves the work area in place for profiling.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
count="${1:-1000}"
vdbuild="${2:-${VD_BUILD:-$repo/build/bin/vd-build}}"
runs="${RUNS:-3}"
base="${BENCH_DIR:-${TMPDIR:-/tmp}}"

work="$(mktemp -d "$base/vd-build-bench.XXXXXX")"
cleanup() {
  # The build runs in its own mount namespace, so nothing is mounted here.
  if [ -n "${KEEP:-}" ]; then echo "work area kept: $work"; return; fi
  if ! grep -qF " $work/" /proc/self/mountinfo; then rm -rf --one-file-system -- "$work"; fi
}
trap cleanup EXIT

bash "$repo/scripts/make-build-template.sh" "$work/template" >/dev/null 2>&1
mkdir -p "$work/etc" "$work/repo" "$work/sources/os/core/bench/src"
cat >"$work/etc/pkg.yml" <<YML
database: $work/host.db
shareDir: $repo/share
pkgRepoUrl: http://127.0.0.1:9/
pkgRepoCachePath: $work/cache
YML
cat >"$work/etc/build.yml" <<YML
buildFs:
  template: $work/template
  workDir: $work/wd
  packageSources: $work/sources
  packageRepo: $work/repo
  pkgDatabasePath: /var/lib/vdpk/packages.db
YML

pkg="$work/sources/os/core/bench"
python3 - "$pkg/src" "$count" <<'PY'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    d = os.path.join(root, "d%02d" % (i % 50))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%05d.txt" % i), "w") as f:
        f.write(("line %d of a small file\n" % i) * (1 + i % 40))
PY
cat >"$pkg/build.sh" <<'SH'
#!/bin/bash
set -euo pipefail
start=$(date +%s%N)
mkdir -p "$VDPK_PACKAGE_BUILD_DIST_DIR/usr/share/bench"
cp -a . "$VDPK_PACKAGE_BUILD_DIST_DIR/usr/share/bench/"
echo $(( $(date +%s%N) - start )) > /pkg-build/script-ns
SH

bash "$repo/share/vd-build/bin/prepare-build-fs" "$work/template" "$work/wd" >/dev/null 2>&1

secs() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }

# Prefixes every line of vd-build's output with its arrival time (ns since
# the epoch) and ends with an "end" line when the output closes.
stamp() {
  python3 -u -c '
import sys, time
for line in sys.stdin:
    sys.stdout.write("%d %s" % (time.time_ns(), line))
print("%d end" % time.time_ns())'
}

# breakdown LOG START SCRIPT_NS: the phases of one run, in seconds.
breakdown() {
  python3 - "$@" <<'PY'
import sys
log, start, script = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
marks = {}
for raw in open(log, errors="replace"):
    stamp, _, text = raw.rstrip("\n").partition(" ")
    t = int(stamp)
    for key, prefix in (("building", "building..."), ("cmd", "cmd: "), ("built", "[exitCode:"),
                        ("copy", "copy: "), ("fakeroot", "/usr/bin/fakeroot"),
                        ("installing", "Installing package "), ("end", "end")):
        if text.startswith(prefix) and (key not in marks or key == "end"):
            if key == "built" and "cmd" not in marks:
                continue
            marks[key] = t
    if text.startswith("[exitCode:") and "installing" in marks:
        marks.setdefault("unpacked", t)
need = ("building", "cmd", "built", "copy", "fakeroot", "installing", "unpacked", "end")
if any(k not in marks for k in need):
    print("  breakdown: progress lines missing")
    sys.exit(0)
phases = [
    ("start", marks["building"] - start),
    ("copy in", marks["cmd"] - marks["building"]),
    ("sandbox", marks["built"] - marks["cmd"] - script),
    ("copy out", marks["fakeroot"] - marks["copy"] - 5_000_000_000),
    ("pack", marks["installing"] - marks["fakeroot"]),
    ("unpack", marks["unpacked"] - marks["installing"]),
    ("finish", marks["end"] - marks["unpacked"]),
]
print("  " + ", ".join("%s %.3f" % (name, ns / 1e9) for name, ns in phases))
PY
}

echo "load: $(uptime | sed 's/.*load average/load average/')"
sandbox_line=
overheads=()
for ((run = 1; run <= runs; run++)); do
  version="1.$run"
  printf 'os: core\nname: bench\nversion: "%s"\narch: x64\n' "$version" >"$pkg/package.yml"
  start=$(date +%s%N)
  (cd "$pkg" && unshare --mount --propagation private "$vdbuild" -c "$work/etc" --existing-build-fs 2>&1) \
    | stamp >"$work/run.log" || { cut -d' ' -f2- "$work/run.log" >&2; exit 1; }
  total=$(( $(tail -n 1 "$work/run.log" | cut -d' ' -f1) - start ))
  script=$(cat "$work/wd/pkg-build/script-ns")
  overhead=$(( total - 5000000000 - script ))
  overheads+=("$overhead")
  printf 'run %d: total %s s, waits 5.000 s, script %s s, overhead %s s\n' "$run" \
    "$(secs "$total")" "$(secs "$script")" "$(secs "$overhead")"
  breakdown "$work/run.log" "$start" "$script"
  sandbox_line=$(grep -m 1 -E '^[0-9]+ bwrap ' "$work/run.log" | cut -d' ' -f2-)
done
median=$(printf '%s\n' "${overheads[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
printf 'files: %d\noverhead per package (median of %d): %s s (target < 0.5 s)\n' "$count" "$runs" \
  "$(secs "$median")"

# Mounting and unmounting the runtime filesystems happens once per run, not
# per package (a --build-all run shares it), so it is shown on its own.
# shellcheck disable=SC2016 # the inner script expands its own arguments
mounts=$(unshare --mount --propagation private bash -c '
  s=$(date +%s%N)
  "$1/mount-build-chroot" "$2" >/dev/null 2>&1
  "$1/umount-build-chroot" "$2" >/dev/null 2>&1
  echo $(( $(date +%s%N) - s ))' _ "$repo/share/vd-build/bin" "$work/wd")
printf 'of which mount + unmount of the runtime filesystems (once per run): %s s\n' "$(secs "$mounts")"
printf 'per package without them: %s s\n' "$(secs $(( median - mounts )))"

# The sandbox line ends in the shell it starts; "true" takes its place.
[[ $sandbox_line == "bwrap "*" bash --noediting" ]] || { echo "no sandbox line in the output" >&2; exit 1; }
sandbox_true="${sandbox_line% bash --noediting} true"
# shellcheck disable=SC2016 # the inner script expands its own arguments
read -r sandbox_ns chroot_ns < <(unshare --mount --propagation private bash -c '
  "$1/mount-build-chroot" "$2" >/dev/null 2>&1
  runs=$3
  median() { sort -n | sed -n "$(((runs + 1) / 2))p"; }
  # time_of COMMAND: the time of each of the runs, in ns, one per line.
  time_of() {
    local i s
    for ((i = 0; i < runs; i++)); do
      s=$(date +%s%N)
      $1 >/dev/null 2>&1 || { echo "failed: $1" >&2; exit 1; }
      echo $(($(date +%s%N) - s))
    done
  }
  sandboxed=$(time_of "$4" | median)
  plain=$(time_of "chroot $2 true" | median)
  "$1/umount-build-chroot" "$2" >/dev/null 2>&1
  echo "$sandboxed $plain"' _ "$repo/share/vd-build/bin" "$work/wd" "${SANDBOX_RUNS:-20}" "$sandbox_true")
printf 'sandbox start + teardown per package (median of %d): %s s; plain chroot: %s s; cost of the sandbox: %s s\n' \
  "${SANDBOX_RUNS:-20}" "$(secs "$sandbox_ns")" "$(secs "$chroot_ns")" "$(secs $((sandbox_ns - chroot_ns)))"
echo "load: $(uptime | sed 's/.*load average/load average/')"

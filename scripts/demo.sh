#!/usr/bin/env bash
# The whole cycle on this machine, with nothing prepared by hand:
#
#   1. installs the build dependencies and builds vdpk and vd-build,
#   2. makes a minimal build template holding a C compiler,
#   3. builds the example package sources in examples/sources (a C library,
#      a generated data package and a C program linked against the library,
#      in two OS directories) with `vd-build --build-all` in a real chroot,
#   4. serves the resulting repository over HTTP on 127.0.0.1,
#   5. installs greet by name into a demonstration prefix, answering the
#      dependency prompt, and runs the installed program,
#   6. lists, removes libgreet together with what depends on it, lists again,
#   7. stops the server and prints a summary.
#
# Everything lands below demo/ in the work tree, or below DEMO_DIR when that
# is set (a new or empty directory, or one an earlier run made). With
# DEMO_BIN_DIR naming a directory that holds built vdpk and vd-build, those
# are used and the configure-and-build step is skipped.
#
# Runs as root: the build needs chroot and mounts. No mount and no server
# outlives the script, also when a step fails or the run is interrupted.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

die() {
  printf 'demo.sh: %s\n' "$*" >&2
  exit 1
}
[[ $(id -u) -eq 0 ]] || die "run as root: building packages needs chroot and mounts"

demo="$(realpath -m -- "${DEMO_DIR:-$top/demo}")"
marker="$demo/.vdpk-demo"
etc="$demo/etc"
template="$demo/template"
workdir="$demo/buildfs"
sources="$demo/sources"
repo="$demo/repo"
prefix="$demo/root"
toolbin="$top/share/vd-build/bin"

# buildfs_mounts_at_or_below: the mount points at or below a directory, as
# this process's mount table lists them.
# shellcheck source-path=SCRIPTDIR/.. source=share/vd-build/bin/build-fs-common.bash
source "$toolbin/build-fs-common.bash"

# --- Cleanup ----------------------------------------------------------------
# Long steps run as background jobs with job control on, so each has its own
# process group: a Ctrl-C reaches only this script, whose trap then ends the
# step's whole group by its id instead of waiting for it to finish.
set -m
step_pid=
server_pid=
current_step=
finished=

stop_step() {
  [[ -n $step_pid ]] || return 0
  # The shell's own "Terminated" notice for the job is not shown.
  {
    kill -TERM -- "-$step_pid" || true
    # The build wrapper (unshare) ignores SIGTERM; it and anything else still
    # there after a moment get SIGKILL.
    for _ in $(seq 1 20); do
      kill -0 -- "-$step_pid" || break
      sleep 0.1
    done
    kill -KILL -- "-$step_pid" || true
    wait "$step_pid" || true
  } 2>/dev/null
  step_pid=
}

stop_server() {
  [[ -n $server_pid ]] || return 0
  kill -TERM "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=
}

# The build runs in a mount namespace of its own (see build_packages), so
# nothing it mounts is visible here. Should a mount below the demo directory
# exist all the same (an earlier run of another version of this script, a
# manual vd-build --keep-build-fs), it is undone here.
unmount_leftovers() {
  [[ -n $(buildfs_mounts_at_or_below "$demo") ]] || return 0
  echo "unmounting what is still mounted below $demo" >&2
  bash "$toolbin/umount-build-chroot" "$workdir" >&2 || true
  if [[ -n $(buildfs_mounts_at_or_below "$demo") ]]; then
    echo "demo.sh: still mounted below $demo:" >&2
    buildfs_mounts_at_or_below "$demo" >&2
    return 1
  fi
}

cleanup() {
  stop_step
  stop_server
  unmount_leftovers
}

on_exit() {
  local status=$? clean=1
  trap - EXIT INT TERM
  cleanup || clean=
  if [[ -z $finished ]]; then
    echo "demo.sh: stopped during step '${current_step:-setup}' (status $status)${clean:+; nothing is left mounted or running}" >&2
    ((status != 0)) || status=1
  fi
  [[ -n $clean ]] || status=1
  exit "$status"
}
on_signal() {
  echo >&2
  echo "demo.sh: interrupted" >&2
  exit 130
}
trap on_exit EXIT
trap on_signal INT TERM

# --- Steps ------------------------------------------------------------------
step_names=()
step_times=()

# Runs one step as a background job and waits for it; the wait is what a
# signal interrupts. Records the step's wall time.
step() {
  local name=$1 start status=0
  shift
  current_step=$name
  printf '\n== %s\n' "$name"
  start=$EPOCHREALTIME
  "$@" </dev/null &
  step_pid=$!
  wait "$step_pid" || status=$?
  step_pid=
  ((status == 0)) || die "step '$name' failed with status $status"
  step_names+=("$name")
  step_times+=("$(elapsed_since "$start")")
}

elapsed_since() {
  local now=$EPOCHREALTIME
  awk -v a="$1" -v b="$now" 'BEGIN { printf "%.1f", b - a }'
}

# YAML double-quoted scalar holding the text verbatim.
yaml_quote() {
  local text=${1//\\/\\\\}
  text=${text//\"/\\\"}
  printf '"%s"' "$text"
}

# fill TEMPLATE OUT NAME=VALUE...: replaces each @NAME@ by the quoted value.
fill() {
  local in=$1 out=$2 content pair
  shift 2
  content=$(<"$in")
  for pair in "$@"; do
    content=${content//"@${pair%%=*}@"/"$(yaml_quote "${pair#*=}")"}
  done
  printf '%s\n' "$content" >"$out"
}

prepare_demo_dir() {
  if [[ -e $demo || -L $demo ]]; then
    [[ -d $demo && ! -L $demo ]] || die "not a directory: $demo"
    if [[ -n $(ls -A -- "$demo") && ! -e $marker ]]; then
      die "refusing to empty $demo: it was not made by demo.sh (no .vdpk-demo in it)"
    fi
  fi
  unmount_leftovers || die "cannot reuse $demo while something is mounted below it"
  mkdir -p -- "$demo"
  # Never crosses into another filesystem: a mount missed above stays intact.
  find "$demo" -mindepth 1 -maxdepth 1 -exec rm -rf --one-file-system -- {} +
  touch "$marker"
  mkdir -p "$etc/build" "$etc/vdpk" "$prefix" "$demo/tmp"
}

install_dependencies() {
  bash scripts/install-deps.sh
  echo "build dependencies are installed"
}

build_programs() {
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build -j"${JOBS:-2}" --target vdpk vd-build
}

make_template() {
  bash scripts/make-build-template.sh --with-cc "$template"
  echo "template size: $(du -sh -- "$template" | cut -f1)"
}

write_build_config() {
  # The sources are copied so that the build's work files (dist directories,
  # archives left by a failed build) never land in the work tree. The copy
  # keeps the links by which os/extra finds its dependencies in os/core.
  cp -a -- examples/sources "$sources"
  fill examples/config/pkg.yml.in "$etc/build/pkg.yml" \
    SHARE_DIR="$top/share" REPO_URL="http://127.0.0.1/unused-when-building" CACHE_DIR="$demo/cache"
  fill examples/config/build.yml.in "$etc/build/build.yml" \
    TEMPLATE="$template" WORK_DIR="$workdir" SOURCES="$sources" REPO_DIR="$repo"
  echo "\$ cat $etc/build/build.yml"
  cat "$etc/build/build.yml"
}

# vd-build mounts dev, proc, sys and run below the work directory. It runs in
# a private mount namespace (so no mount propagates to the host's table) and a
# pid namespace of its own, with a /proc of that namespace (the build
# sandbox looks its processes up there): if this script is interrupted, ending the
# namespace's first process ends every process of the build with it,
# including the build commands vd-build starts in sessions of their own, and
# the kernel then drops every mount the build made. On a normal run vd-build
# unmounts and cleans the build filesystem itself.
build_packages() {
  echo "\$ vd-build -c $etc/build --build-all"
  exec unshare --mount --propagation private --fork --pid --mount-proc --kill-child \
    "$vdbuild" -c "$etc/build" --build-all
}

start_server() {
  current_step="serve the repository"
  printf '\n== %s\n' "$current_step"
  local start=$EPOCHREALTIME port=
  /usr/bin/python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$repo" \
    >"$demo/server.out" 2>"$demo/server.log" </dev/null &
  server_pid=$!
  for _ in $(seq 1 100); do
    port="$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$demo/server.out" | head -n 1)"
    [[ -z $port ]] || break
    kill -0 "$server_pid" 2>/dev/null || die "the HTTP server ended: $(cat "$demo/server.log")"
    sleep 0.1
  done
  [[ -n $port ]] || die "the HTTP server did not start"
  url="http://127.0.0.1:$port"
  echo "repository: $url (python3 -m http.server, pid $server_pid)"
  fill examples/config/pkg.yml.in "$etc/vdpk/pkg.yml" \
    SHARE_DIR="$top/share" REPO_URL="$url" CACHE_DIR="$demo/cache"
  step_names+=("$current_step")
  step_times+=("$(elapsed_since "$start")")
}

vdpk_run() {
  echo "\$ vdpk --prefix $prefix $*" >&2
  "$vdpk" --config "$etc/vdpk" --prefix "$prefix" "$@"
}

install_greet() {
  echo y | vdpk_run --install greet
  echo
  echo "\$ $prefix/usr/bin/greet vdpk"
  "$prefix/usr/bin/greet" vdpk
  echo "libgreet found through the program's run path: $(ldd "$prefix/usr/bin/greet" | grep -o 'libgreet[^ ]* => [^ ]*')"
  echo
  vdpk_run --list
}

uninstall_libgreet() {
  echo y | vdpk_run --uninstall libgreet
  echo
  [[ ! -e $prefix/usr/bin/greet ]] || die "greet is still installed"
  vdpk_run --list
}

summary() {
  local archive rel total=0 i
  printf '\n== Summary\n'
  echo "Packages built by vd-build --build-all into $repo:"
  while read -r archive; do
    rel=${archive#"$repo"/}
    printf '  %-22s %-36s %7d bytes\n' "${rel%/*}" "${archive##*/}" "$(stat -c %s -- "$archive")"
  done < <(find "$repo" -name '*.vdpk.tar.bz2' | sort)
  echo "Time per step:"
  for i in "${!step_names[@]}"; do
    printf '  %-32s %6s s\n' "${step_names[i]}" "${step_times[i]}"
    total=$(awk -v a="$total" -v b="${step_times[i]}" 'BEGIN { printf "%.1f", a + b }')
  done
  printf '  %-32s %6s s\n' "total" "$total"
  echo "Nothing is left mounted below $demo, and the server is stopped."
}

# --- The run ----------------------------------------------------------------
echo "Demonstration directory: $demo"
prepare_demo_dir
export TMPDIR="$demo/tmp" # unpack directories and the runner's log files

step "install dependencies" install_dependencies
if [[ -n ${DEMO_BIN_DIR:-} ]]; then
  bindir=$(realpath -e -- "$DEMO_BIN_DIR")
else
  step "build vdpk and vd-build" build_programs
  bindir="$top/build/bin"
fi
vdpk="$bindir/vdpk"
vdbuild="$bindir/vd-build"
[[ -x $vdpk && -x $vdbuild ]] || die "vdpk and vd-build are not in $bindir"

step "make the build template" make_template
step "write the configuration" write_build_config
step "build the packages (chroot)" build_packages
start_server
step "install greet by name" install_greet
step "uninstall libgreet" uninstall_libgreet

current_step="stop the server"
stop_server
[[ -z $(buildfs_mounts_at_or_below "$demo") ]] || die "something is still mounted below $demo"
summary
finished=1

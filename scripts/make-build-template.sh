#!/usr/bin/env bash
# Makes a minimal build template from the host's own programs: bash, sh, the
# core utilities, sed, grep, find, tar, gzip and bzip2, with the shared
# libraries ldd finds for them and the dynamic loader, in the host's own
# directory layout, plus empty dev, proc, sys, run and tmp and a minimal
# etc/passwd and etc/group. Enough for build scripts that copy, patch and pack
# files, and fast to make (tests and the quick start use it).
#
# With --with-cc it also copies a C compiler (gcc, cc1, as, ld, the start
# files, libgcc and the C library's headers and link files), about ten times
# the size. Real builds want a full system in the template instead, for
# example one made with debootstrap.
#
# Usage: make-build-template.sh [--with-cc] OUT_DIR
# OUT_DIR is created; an existing one must be empty. Needs root only where
# the copied files' owners are to be kept.
set -euo pipefail

die() {
  printf 'make-build-template.sh: %s\n' "$*" >&2
  exit 1
}
usage() {
  echo "Usage: make-build-template.sh [--with-cc] OUT_DIR" >&2
  exit 2
}

with_cc=0
args=()
for arg in "$@"; do
  case $arg in
  --with-cc) with_cc=1 ;;
  -h | --help) usage ;;
  -*) usage ;;
  *) args+=("$arg") ;;
  esac
done
((${#args[@]} == 1)) || usage
out=${args[0]}

if [[ -e $out || -L $out ]]; then
  [[ -d $out && ! -L $out ]] || die "not a directory: '$out'"
  [[ -z $(ls -A -- "$out") ]] || die "not empty: '$out'"
fi
mkdir -p -- "$out"
out=$(realpath -e -- "$out")
[[ $out != / ]] || die "refusing to write into /"

programs=(
  bash sh env cat cp mv rm ln ls mkdir rmdir chmod chown touch install
  echo printf test '[' true false pwd basename dirname readlink realpath mktemp
  head tail wc sort uniq cut tr tee sed grep find xargs expr date sleep id
  uname stat du tar gzip bzip2
)
# Present on nearly every host but not needed by the simplest builds.
optional_programs=(cmp diff awk seq md5sum sha256sum make patch xz)

declare -A copied=()

# Copies the host file SRC (an absolute path) to the same path below OUT,
# following links, unless it is there already. Every destination is checked
# to resolve inside OUT: the layout links made below are relative, but a
# mistake here would write onto the host.
copy_host_file() {
  local src=$1 dest
  [[ -z ${copied[$src]:-} ]] || return 0
  copied[$src]=1
  dest=$out$src
  [[ $(realpath -m -- "$dest") == "$out"/* ]] || die "destination leads outside the template: '$dest'"
  mkdir -p -- "$(dirname -- "$dest")"
  cp -L --preserve=mode,ownership,timestamps -- "$src" "$dest"
}

programs_copied=()

copy_program_file() {
  copy_host_file "$1"
  programs_copied+=("$1")
}

# Copies the shared libraries the copied programs need, and the loader, as
# ldd lists them; one ldd run for all of them is much faster than one each.
# ldd heads each program's list with "PATH:" and fails for static programs,
# which need nothing.
copy_libraries() {
  local line lib
  while read -r line; do
    case $line in
    *:) continue ;;
    *' => '/*) lib=${line#* => } ;;
    /*) lib=$line ;;
    *) continue ;;
    esac
    lib=${lib%% (0x*}
    if [[ -e $lib ]]; then copy_host_file "$lib"; fi
  done < <(ldd -- "${programs_copied[@]}" 2>/dev/null || true)
}

# The host's top-level layout: on a merged-/usr host /bin, /sbin and /lib
# are links into /usr, and the template keeps them so, so that paths found
# by ldd and "#!/bin/sh" lines resolve the same way inside it.
for d in bin sbin lib lib32 lib64 libx32; do
  if [[ -L /$d ]]; then
    target=$(readlink "/$d")
    target=${target#/}
    ln -s "$target" "$out/$d"
    mkdir -p -- "$out/$target"
    [[ $(realpath -e -- "$out/$d") == "$out"/* ]] || die "layout link leads outside the template: /$d"
  elif [[ -d /$d ]]; then
    mkdir -p "$out/$d"
  fi
done
mkdir -p "$out"/{usr/bin,usr/sbin,usr/lib,etc,dev,proc,sys,run,tmp,var/tmp,root}
chmod 1777 "$out/tmp" "$out/var/tmp"
chmod 700 "$out/root"

for name in "${programs[@]}"; do
  if ! path=$(command -v -- "$name") || [[ $path != /* ]]; then
    # "[" and "test" are shell builtins as well; take the programs.
    path=$(type -P -- "$name") || true
  fi
  [[ -n $path ]] || die "program not found on this host: $name"
  copy_program_file "$path"
done
for name in "${optional_programs[@]}"; do
  if path=$(type -P -- "$name"); then copy_program_file "$path"; fi
done
# Scripts start with these two whatever PATH says.
copy_program_file /bin/sh
copy_program_file /bin/bash

if ((with_cc)); then
  command -v gcc >/dev/null || die "--with-cc: gcc not found on this host"
  for name in gcc as ld; do
    copy_program_file "$(type -P "$name")"
  done
  ln -sf gcc "$out/usr/bin/cc"
  for name in cc1 collect2 lto-wrapper; do
    copy_program_file "$(gcc -print-prog-name="$name")"
  done
  gccdir=$(dirname -- "$(realpath -- "$(gcc -print-libgcc-file-name)")")
  for f in "$gccdir"/crt*.o "$gccdir"/libgcc.a "$gccdir"/libgcc_eh.a "$gccdir"/libgcc_s.so \
    "$gccdir"/liblto_plugin.so; do
    if [[ -e $f ]]; then copy_host_file "$f"; fi
  done
  mkdir -p -- "$out$gccdir"
  cp -a -- "$gccdir/include" "$out$gccdir/"
  for f in crt1.o Scrt1.o crti.o crtn.o libc.so libc_nonshared.a libm.so libgcc_s.so.1 \
    libmvec.so.1 libm.so.6; do
    path=$(realpath -- "$(gcc -print-file-name="$f")")
    if [[ -e $path ]]; then copy_host_file "$path"; fi
  done
  # libc.so and libm.so are linker scripts naming the shared objects by path.
  for script in libc.so libm.so; do
    path=$(realpath -- "$(gcc -print-file-name="$script")")
    [[ -f $path ]] || continue
    while read -r f; do
      if [[ -f $f ]]; then copy_host_file "$f"; fi
    done < <(grep -oE '/[[:alnum:]_][^ )]*' "$path" || true)
  done
  # The C library's and the kernel's headers only: all of /usr/include can
  # be large. Where no package database tells which files those are, all of
  # it is taken.
  if command -v dpkg-query >/dev/null && dpkg-query -W libc6-dev >/dev/null 2>&1; then
    dpkg-query -L libc6-dev linux-libc-dev 2>/dev/null | sed -n 's|^/\(usr/include/\)|\1|p' |
      tar -C / --no-recursion -cf - --verbatim-files-from -T - | (cd -- "$out" && tar -xpf -)
  else
    cp -a /usr/include "$out/usr/"
  fi
fi

copy_libraries

cat >"$out/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/bash
nobody:x:65534:65534:nobody:/nonexistent:/bin/false
EOF
cat >"$out/etc/group" <<'EOF'
root:x:0:
tty:x:5:
nogroup:x:65534:
EOF
echo "127.0.0.1 localhost" >"$out/etc/hosts"

echo "Build template made in $out"

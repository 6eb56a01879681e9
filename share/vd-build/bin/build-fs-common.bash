# Shared by the four build filesystem commands; sourced, never run.
#
# These commands run as root and mount, unmount and delete whole trees, so
# every path they are given goes through buildfs_resolve_root first, and every
# deletion is preceded by a look at the kernel's mount table.

buildfs_name=${0##*/}

buildfs_die() {
  printf '%s: %s\n' "$buildfs_name" "$*" >&2
  exit 1
}

buildfs_note() {
  printf '%s: %s\n' "$buildfs_name" "$*"
}

buildfs_usage() {
  printf 'Usage: %s %s\n' "$buildfs_name" "$1" >&2
  exit 2
}

# The directories a build filesystem must never be, from the one list the
# build tool reads too. Without it nothing is safe to act on.
buildfs_list=$(dirname -- "$(realpath -- "${BASH_SOURCE[0]}")")/../dangerous-paths
buildfs_dangerous=("")
while IFS= read -r buildfs_line || [[ -n $buildfs_line ]]; do
  [[ -z $buildfs_line || $buildfs_line == "#"* ]] || buildfs_dangerous+=("$buildfs_line")
done <"$buildfs_list" || buildfs_die "cannot read the list of dangerous paths: '$buildfs_list'"
((${#buildfs_dangerous[@]} > 1)) || buildfs_die "the list of dangerous paths is empty: '$buildfs_list'"
unset buildfs_line

buildfs_is_dangerous() {
  local candidate=$1 entry
  for entry in "${buildfs_dangerous[@]}"; do
    [[ $candidate == "$entry" ]] && return 0
  done
  return 1
}

# Sets buildfs_root to the fully resolved form of the given root, or refuses.
# Both the lexically normalised form ("//usr/." is /usr) and the resolved form
# (a link to / is /) are checked, for the text as given and with surrounding
# blanks trimmed, so no spelling of a system directory gets through.
buildfs_resolve_root() {
  local given=$1 trimmed text normalised resolved blanks=$' \t\r\n'
  # The build tool trims exactly these four characters from its setting.
  trimmed=${given#"${given%%[!"$blanks"]*}"}
  trimmed=${trimmed%"${trimmed##*[!"$blanks"]}"}
  for text in "$given" "$trimmed"; do
    if [[ -z $text ]]; then
      buildfs_die "Refusing to operate on dangerous path: '$trimmed'"
    fi
    normalised=$(realpath --canonicalize-missing --no-symlinks -- "$text") ||
      buildfs_die "cannot normalise path: '$given'"
    resolved=$(realpath --canonicalize-missing -- "$text") ||
      buildfs_die "cannot resolve path: '$given'"
    if buildfs_is_dangerous "$normalised" || buildfs_is_dangerous "$resolved"; then
      buildfs_die "Refusing to operate on dangerous path: '$trimmed'"
    fi
  done
  # Command substitution drops trailing newlines, and the mount table is read
  # line by line: a root holding a newline could be mistaken for another one.
  [[ $given != *$'\n'* ]] || buildfs_die "refusing a path that contains a newline: '$trimmed'"
  # shellcheck disable=SC2034 # read by the sourcing command
  buildfs_root=$(realpath --canonicalize-missing -- "$given")
}

# The kernel writes a space, tab, newline and backslash in a mount point of
# its table as \040, \011, \012 and \134, so every mount point is one field
# of one line. These commands compare mount points in that escaped form and
# pass them around escaped, one per line; only the single one about to be
# unmounted is turned back into its name. A name holding a newline can
# therefore never turn into a second, different path.
buildfs_escape() {
  local text=$1
  text=${text//\\/\\134}
  text=${text// /\\040}
  text=${text//$'\t'/\\011}
  text=${text//$'\n'/\\012}
  printf '%s' "$text"
}

# Sets the variable named by $1 to the name an escaped mount point stands for.
# Every backslash in the table starts such an escape, so turning "\" into
# "\0" lets printf %b undo them; printf -v keeps trailing newlines.
buildfs_unescape_into() {
  printf -v "$1" '%b' "${2//\\/\\0}"
}

# The names of escaped mount points, separated by blanks, for a message.
buildfs_names_of() {
  local escaped name
  local -a names=()
  for escaped in "$@"; do
    buildfs_unescape_into name "$escaped"
    names+=("$name")
  done
  printf '%s' "${names[*]}"
}

# Prints every mount point of this mount namespace that equals DIR or lies
# below it, escaped as in the mount table, one per line, deepest first.
buildfs_mounts_at_or_below() {
  local dir fields mountpoint
  dir=$(buildfs_escape "$1")
  local -a found=()
  while read -r -a fields; do
    ((${#fields[@]} >= 5)) || continue
    mountpoint=${fields[4]}
    if [[ $mountpoint == "$dir" || $mountpoint == "$dir"/* ]]; then
      found+=("$mountpoint")
    fi
  done </proc/self/mountinfo
  ((${#found[@]} > 0)) || return 0
  # Deepest first; among equal depths the later mount first, since the table
  # lists mounts in the order they were made.
  local i
  for ((i = ${#found[@]} - 1; i >= 0; i--)); do
    local slashes=${found[i]//[!\/]/}
    printf '%d\t%s\n' "${#slashes}" "${found[i]}"
  done | sort -s -t $'\t' -k1,1nr | cut -f2-
}

buildfs_mounts_below() {
  buildfs_mounts_at_or_below "$1" | { grep -vxF -- "$(buildfs_escape "$1")" || true; }
}

buildfs_is_mount_point() {
  buildfs_mounts_at_or_below "$1" | grep -qxF -- "$(buildfs_escape "$1")"
}

# Unmounts everything strictly below DIR, deepest first, over a few passes
# (a mount hidden by another one shows up again once the upper one is gone).
# A busy mount is detached lazily so that nothing below DIR still reaches it.
# Returns non-zero when something is still mounted below DIR afterwards.
buildfs_unmount_below() {
  local dir=$1 escaped mountpoint
  local -a mounts
  for _ in 1 2 3 4 5 6 7 8; do
    mapfile -t mounts < <(buildfs_mounts_below "$dir")
    ((${#mounts[@]} > 0)) || return 0
    for escaped in "${mounts[@]}"; do
      buildfs_unescape_into mountpoint "$escaped"
      # Only ever below DIR, whatever the table said.
      [[ $mountpoint == "$dir"/* ]] || continue
      if ! umount --no-canonicalize -- "$mountpoint" 2>/dev/null; then
        buildfs_is_mount_point "$mountpoint" || continue
        umount --no-canonicalize --lazy -- "$mountpoint" ||
          printf '%s: cannot unmount %s\n' "$buildfs_name" "$escaped" >&2
      fi
    done
  done
  mapfile -t mounts < <(buildfs_mounts_below "$dir")
  ((${#mounts[@]} == 0))
}

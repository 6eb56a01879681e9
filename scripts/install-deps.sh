#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages.
# Idempotent: packages that are already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libyaml-cpp-dev libsqlitecpp-dev libsqlite3-dev libcurl4-openssl-dev
  libargh-dev libfmt-dev libsodium-dev libbz2-dev
  googletest libgtest-dev libgmock-dev
  clang-format shellcheck
  tar bzip2 lbzip2 fakeroot python3 curl minisign
  util-linux mount xz-utils
  mandoc nginx bubblewrap
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"

#!/bin/bash
# Compiles libgreet as a shared library with its soname links and header,
# checks it with a small program, and installs it below /usr.
set -euo pipefail
dist=$VDPK_PACKAGE_BUILD_DIST_DIR
version=2.0.1
cc=${CC:-cc}
cflags=(-O2 -g0 -Wall -Wextra -Werror -std=c11 -DGREET_VERSION="\"$version\"")

"$cc" "${cflags[@]}" -fPIC -c greet.c -o greet.o
"$cc" -shared -Wl,-soname,libgreet.so.2 -o "libgreet.so.$version" greet.o
ln -sf "libgreet.so.$version" libgreet.so.2
ln -sf libgreet.so.2 libgreet.so

"$cc" "${cflags[@]}" check.c -o check -L. -lgreet
LD_LIBRARY_PATH=. ./check

install -d "$dist/usr/lib" "$dist/usr/include"
install -m 644 greet.h "$dist/usr/include/greet.h"
install -m 755 "libgreet.so.$version" "$dist/usr/lib/"
cp -P libgreet.so.2 libgreet.so "$dist/usr/lib/"

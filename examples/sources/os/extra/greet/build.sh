#!/bin/bash
# Compiles greet against libgreet as installed in the build filesystem
# (/usr/include/greet.h, /usr/lib/libgreet.so), runs it once against the
# installed greeting table, and installs it. The run path $ORIGIN/../lib lets
# the program find libgreet in the lib directory beside its own bin directory
# wherever the packages are installed.
set -euo pipefail
dist=$VDPK_PACKAGE_BUILD_DIST_DIR
cc=${CC:-cc}

# shellcheck disable=SC2016 # $ORIGIN is for the dynamic loader, not the shell
"$cc" -O2 -g0 -Wall -Wextra -Werror -std=c11 main.c -o greet -lgreet -Wl,-rpath,'$ORIGIN/../lib'
GREET_DATA=/usr/share/greet/greetings.tsv ./greet build

install -d "$dist/usr/bin"
install -m 755 greet "$dist/usr/bin/greet"

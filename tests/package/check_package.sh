#!/bin/sh
# check_package.sh - installs the built library into a scratch prefix, then builds a
# consumer against it with CMake's find_package and with pkg-config, and runs both.
set -eu
build=$1; source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" --component Unspecified >/dev/null
cmake -S "$source/tests/package" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
# The consumer runs with a bad port: it must load the library and report the refusal.
if LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer/consumer" 127.0.0.1 -1 "return 1" 2>/dev/null; then
    echo "consumer unexpectedly succeeded"; exit 1
fi
libdir=$(ls -d "$work"/prefix/lib*)
PKG_CONFIG_PATH="$libdir/pkgconfig" cc -o "$work/pc_consumer" "$source/examples/run_script.c" \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs qel_zmq)
out=$(LD_LIBRARY_PATH="$libdir" "$work/pc_consumer" 2>&1 || true)
case "$out" in usage:*) ;; *) echo "pkg-config consumer did not run: $out"; exit 1 ;; esac
echo "package ok"

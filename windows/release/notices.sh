#!/bin/sh
# notices.sh OUT LIBZMQ_SOURCE - writes THIRD-PARTY-NOTICES.txt for the Windows release:
# the terms of everything the DLL holds besides our own code, each taken from the
# copyright file of the Debian package the build took it from.
set -eu
out=$1 libzmq=$2
section() {
    printf '\n%s\n%s\n%s\n\n' "================================================================" \
        "$1" "================================================================"
}
{
    printf '%s\n' "QEL_ZMQ.dll is QEL_ZMQ (MIT licence, see LICENSE) linked statically with the" \
        "following. Each section holds the terms of one of them, as the Debian package that" \
        "provided it states them. The DLL holds no part of Lua."
    section "libzmq 4.3 (from Debian's zeromq3 source package): LGPL-3+ with the static linking exception"
    cat "$libzmq/debian/copyright"
    section "libzmq: COPYING.LESSER"
    cat "$libzmq/COPYING.LESSER"
    section "cppzmq (header-only C++ binding, from Debian's cppzmq-dev): MIT"
    cat /usr/share/doc/cppzmq-dev/copyright
    section "MinGW-w64 runtime and winpthreads (from Debian's mingw-w64-x86-64-dev)"
    cat /usr/share/doc/mingw-w64-x86-64-dev/copyright
    section "GCC runtime libraries: libgcc, libstdc++ (GPL-3+ with the GCC Runtime Library Exception, from Debian's gcc-mingw-w64-base)"
    cat /usr/share/doc/gcc-mingw-w64-base/copyright
} >"$out"

#!/bin/sh
# notices.sh OUT LIBZMQ_SOURCE CPPZMQ_PACKAGE - writes THIRD-PARTY-NOTICES.txt for the
# Windows release: the terms of everything the DLL holds besides our own code, each taken
# from the copyright file of the Debian package the build took it from (libzmq's unpacked
# source, the unpacked cppzmq-dev package), followed by the full text of every licence
# those files point to under /usr/share/common-licenses, which a Windows reader does not have.
set -eu
out=$1 libzmq=$2 cppzmq=$3
# The Debian version each was taken from, as the first line of its changelog gives it.
libzmq_version=$(sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' "$libzmq/debian/changelog")
cppzmq_version=$(zcat "$cppzmq/usr/share/doc/cppzmq-dev/changelog.Debian.gz" |
    sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p')
[ -n "$libzmq_version" ] && [ -n "$cppzmq_version" ] ||
    { echo "notices.sh: no Debian version in the changelogs of $libzmq and $cppzmq" >&2; exit 1; }
section() {
    printf '\n%s\n%s\n%s\n\n' "================================================================" \
        "$1" "================================================================"
}
{
    printf '%s\n' "QEL_ZMQ.dll is QEL_ZMQ (MIT licence, see LICENSE) linked statically with the" \
        "following. Each section holds the terms of one of them, as the Debian package that" \
        "provided it states them; the full texts of the licences they refer to follow at" \
        "the end. The DLL holds no part of Lua."
    section "libzmq (from Debian's zeromq3 source package $libzmq_version): LGPL-3+ with the static linking exception"
    cat "$libzmq/debian/copyright"
    section "libzmq: COPYING.LESSER"
    cat "$libzmq/COPYING.LESSER"
    section "cppzmq (header-only C++ binding, from Debian's cppzmq-dev $cppzmq_version): MIT"
    cat "$cppzmq/usr/share/doc/cppzmq-dev/copyright"
    section "MinGW-w64 runtime and winpthreads (from Debian's mingw-w64-x86-64-dev)"
    cat /usr/share/doc/mingw-w64-x86-64-dev/copyright
    section "GCC runtime libraries: libgcc, libstdc++ (GPL-3+ with the GCC Runtime Library Exception, from Debian's gcc-mingw-w64-base)"
    cat /usr/share/doc/gcc-mingw-w64-base/copyright
} >"$out"
licences=/usr/share/common-licenses
for name in $(grep -o -E "$licences/[A-Za-z0-9.+_-]*[A-Za-z0-9+_-]" "$out" | sed 's|.*/||' | LC_ALL=C sort -u); do
    [ -f "$licences/$name" ] || { echo "notices.sh: $licences/$name is missing" >&2; exit 1; }
    if [ -L "$licences/$name" ]; then
        # GPL and LGPL are Debian's names for the latest version.
        target=$(basename "$(readlink "$licences/$name")")
        section "Full text of $name ($licences/$name): it is $target, whose full text has its own section" >>"$out"
        case " $(grep -o -E "$licences/[A-Za-z0-9.+_-]*[A-Za-z0-9+_-]" "$out" | sed 's|.*/||' | tr '\n' ' ') " in
        *" $target "*) ;;
        *) { echo "notices.sh: $name points to $target, which no notice names" >&2; exit 1; } ;;
        esac
    else
        { section "Full text of $name ($licences/$name)"; cat "$licences/$name"; } >>"$out"
    fi
done

#!/bin/sh
# reproducible_deb.sh SOURCE DEBDIR VERSION - run by `make deb`: builds the Debian packages
# again from a copy of the sources in a folder of another name and depth, and checks that
# each .deb has the SHA-256 of the one in DEBDIR (built from SOURCE with the deb preset):
# once with DEBDIR's libqel-zmq1 installed on this machine, once packed again without it.
set -eu
source=$1 debdir=$2 version=$3
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
installed_here=no
uninstall() {
    if [ "$installed_here" = yes ]; then
        $sudo apt-get purge -y -q libqel-zmq1 >/dev/null 2>&1 || true
        installed_here=no
    fi
}
work=$(mktemp -d)
trap 'uninstall; rm -rf "$work"' EXIT
trap 'exit 143' INT TERM
copy=$work/another/place/qel-zmq
mkdir -p "$copy"
(cd "$source" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 tar --ignore-failed-read -cf - 2>/dev/null) | (cd "$copy" && tar xf -)
# The copy has no history to take the time stamp from: it gets the first build's.
epoch=$(sed -n 's/^ *set(ENV{SOURCE_DATE_EPOCH} \([0-9]*\))$/\1/p' "$debdir/CPackEpoch.cmake")
[ -n "$epoch" ] || fail "$debdir/CPackEpoch.cmake holds no SOURCE_DATE_EPOCH"
# What the build machine has installed must not reach the packages: an installed
# libqel-zmq1 once gave qel-lua-tools a second Depends entry.
if ! dpkg-query -W -f='${Status}' libqel-zmq1 2>/dev/null | grep -q "install ok installed"; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q \
        "$debdir/libqel-zmq1_${version}_$(dpkg --print-architecture).deb" >"$work/apt.log" 2>&1 ||
        { cat "$work/apt.log"; fail "apt-get could not install libqel-zmq1"; }
    installed_here=yes
fi
(cd "$copy" && SOURCE_DATE_EPOCH=$epoch cmake --preset deb >"$work/cmake.log" 2>&1 &&
    cmake --build --preset deb -j 2 >"$work/build.log" 2>&1 &&
    cd build-deb && SOURCE_DATE_EPOCH=$epoch cpack -G DEB >"$work/cpack.log" 2>&1) ||
    { cat "$work"/*.log; fail "the second build failed"; }
compare() {
    for deb in "$debdir"/*_"${version}"_*.deb; do
        [ -f "$deb" ] || fail "no packages of version $version in $debdir"
        first=$(sha256sum <"$deb")
        second=$(sha256sum <"$copy/build-deb/$(basename "$deb")") ||
            fail "the second build made no $(basename "$deb")"
        [ "$first" = "$second" ] || fail "$(basename "$deb") differs between the two builds ($1)"
        echo "reproducible ($1): ${first%% *}  $(basename "$deb")"
    done
}
compare "libqel-zmq1 installed"
# Packing is where installed packages are looked at; the copy is packed again without.
if [ "$installed_here" = yes ]; then
    uninstall
    rm -f "$copy"/build-deb/*.deb
    (cd "$copy/build-deb" && SOURCE_DATE_EPOCH=$epoch cpack -G DEB >"$work/cpack.log" 2>&1) ||
        { cat "$work/cpack.log"; fail "packing again failed"; }
    compare "libqel-zmq1 not installed"
else
    echo "libqel-zmq1 was installed before: packing without it is left out" >&2
fi

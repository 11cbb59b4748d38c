#!/bin/sh
# reproducible_deb.sh SOURCE DEBDIR VERSION - run by `make deb`: builds the Debian packages
# again from a copy of the sources in a folder of another name and depth, and checks that
# each .deb has the SHA-256 of the one in DEBDIR (built from SOURCE with the deb preset).
set -eu
source=$1 debdir=$2 version=$3
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 143' INT TERM
copy=$work/another/place/qel-zmq
mkdir -p "$copy"
(cd "$source" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 tar --ignore-failed-read -cf - 2>/dev/null) | (cd "$copy" && tar xf -)
# The copy has no history to take the time stamp from: it gets the first build's.
epoch=$(sed -n 's/^ *set(ENV{SOURCE_DATE_EPOCH} \([0-9]*\))$/\1/p' "$debdir/CPackEpoch.cmake")
[ -n "$epoch" ] || fail "$debdir/CPackEpoch.cmake holds no SOURCE_DATE_EPOCH"
(cd "$copy" && SOURCE_DATE_EPOCH=$epoch cmake --preset deb >"$work/cmake.log" 2>&1 &&
    cmake --build --preset deb -j 2 >"$work/build.log" 2>&1 &&
    cd build-deb && SOURCE_DATE_EPOCH=$epoch cpack -G DEB >"$work/cpack.log" 2>&1) ||
    { cat "$work"/*.log; fail "the second build failed"; }
for deb in "$debdir"/*_"${version}"_*.deb; do
    [ -f "$deb" ] || fail "no packages of version $version in $debdir"
    first=$(sha256sum <"$deb")
    second=$(sha256sum <"$copy/build-deb/$(basename "$deb")") ||
        fail "the second build made no $(basename "$deb")"
    [ "$first" = "$second" ] || fail "$(basename "$deb") differs between the two builds"
    echo "reproducible: ${first%% *}  $(basename "$deb")"
done

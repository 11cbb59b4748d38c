#!/bin/sh
# build_deb.sh SOURCE BUILD - builds the Debian packages in BUILD with the `deb` preset
# (Release, installed under /usr), for the checks that inspect them. BUILD lies in the
# test's build tree, so running the tests leaves the source tree as it was.
set -eu
source=$1 build=$2
cd "$source"
cmake --preset deb -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
cd "$build"
rm -f ./*.deb
cpack -G DEB >/dev/null
ls ./*.deb

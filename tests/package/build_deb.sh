#!/bin/sh
# build_deb.sh SOURCE - builds the Debian packages in SOURCE/build-deb with the `deb`
# preset (Release, installed under /usr), for the checks that inspect them.
set -eu
cd "$1"
cmake --preset deb >/dev/null
cmake --build --preset deb -j "$(nproc)" >/dev/null
cd build-deb
rm -f ./*.deb
cpack -G DEB >/dev/null
ls ./*.deb

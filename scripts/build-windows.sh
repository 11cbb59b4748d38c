#!/bin/sh
# build-windows.sh - cross-builds QEL_ZMQ.dll for 64-bit Windows with MinGW-w64 and
# tests it under wine. libzmq and googletest are cross-built from Debian's sources
# once and kept inside the build tree; nothing is cached anywhere else.
#
#   scripts/build-windows.sh [build|test|all]     (default: build)
#
#   WIN_BUILD    build tree (default build-windows); the pick-up folder is
#                $WIN_BUILD/QEL_ZMQ-win64
#   JOBS         parallel jobs (default: nproc)
#   LINUX_BUILD  Linux build tree holding service/qel-lua-service, for the end-to-end
#                test (default build); without it that test runs against the echo peer
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
B=$(mkdir -p "${WIN_BUILD:-build-windows}" && cd "${WIN_BUILD:-build-windows}" && pwd)
JOBS=${JOBS:-$(nproc)}
LINUX_BUILD=${LINUX_BUILD:-build}
DEPS=$B/deps
PREFIX=$DEPS/prefix
TOOLCHAIN=$here/cmake/toolchain-mingw64.cmake
MINGW=x86_64-w64-mingw32

step() { printf '== %s\n' "$*"; }
# Cached dependencies are rebuilt when the toolchain file or the compiler changes.
toolchain_id() { cat "$TOOLCHAIN" "$(command -v $MINGW-g++-posix)" | md5sum | cut -c1-32; }

# --- libzmq sources, from Debian's zeromq3 source package -------------------------
# apt reads a private sources list, index and cache under $DEPS/apt, so the machine's
# own apt configuration is neither read for sources nor changed.
fetch_zeromq() {
    [ -f "$DEPS/zeromq3/CMakeLists.txt" ] && return 0
    step "fetching zeromq3 sources through apt (deb-src)"
    apt=$DEPS/apt
    rm -rf "$apt" "$DEPS/zeromq3" "$DEPS/zeromq3.download"
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d" \
        "$DEPS/zeromq3.download"
    # The deb-src entries mirror the machine's own Debian entries: same archives,
    # same suites, same signing keys; only the type changes.
    : >"$apt/sources.list"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && grep -q '^Signed-By:.*debian-archive-keyring' "$f" || continue
        sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt/sources.list.d/${f##*/}"
    done
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*debian.*\)/deb-src \1/p' /etc/apt/sources.list >"$apt/sources.list"
    fi
    set -- -q -o "Dir::Etc::SourceList=$apt/sources.list" \
        -o "Dir::Etc::SourceParts=$apt/sources.list.d" \
        -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" \
        -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)"
    apt-get "$@" update
    (cd "$DEPS/zeromq3.download" && apt-get "$@" source --download-only zeromq3)
    # dpkg-source checks the checksums against the signed index and applies Debian's patches.
    dpkg-source -x "$DEPS"/zeromq3.download/zeromq3_*.dsc "$DEPS/zeromq3"
    rm -f "$DEPS"/zeromq3_*.orig.tar.* "$DEPS"/zeromq3_*.debian.tar.*
    rm -rf "$apt"
}

# --- static libzmq for Windows: TCP only, no CURVE, no draft API -------------------
# ZMQ_HAVE_IPC=OFF: the ipc transport does not build with MinGW. The unity build cuts
# the compile time by about three on two cores.
LIBZMQ_FLAGS="-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED=OFF -DBUILD_STATIC=ON
 -DBUILD_TESTS=OFF -DWITH_DOCS=OFF -DWITH_DOC=OFF -DENABLE_CPACK=OFF
 -DENABLE_DRAFTS=OFF -DENABLE_WS=OFF -DENABLE_CURVE=OFF
 -DWITH_LIBSODIUM=OFF -DWITH_OPENPGM=OFF -DWITH_NORM=OFF -DWITH_VMCI=OFF
 -DZMQ_HAVE_IPC=OFF -DENABLE_PRECOMPILED=OFF -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16"

build_libzmq() {
    want="$(sed -n 's/^Version: //p' "$DEPS"/zeromq3.download/zeromq3_*.dsc) $LIBZMQ_FLAGS $(toolchain_id)"
    if [ -f "$PREFIX/lib/libzmq.a" ] && [ "$(cat "$DEPS/libzmq.stamp" 2>/dev/null)" = "$want" ]; then
        return 0
    fi
    step "cross-building static libzmq"
    rm -rf "$DEPS/libzmq-build"
    # shellcheck disable=SC2086 # the flag list is split on purpose
    cmake -S "$DEPS/zeromq3" -B "$DEPS/libzmq-build" -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_INSTALL_PREFIX="$PREFIX" $LIBZMQ_FLAGS >/dev/null
    cmake --build "$DEPS/libzmq-build" -j "$JOBS" >/dev/null
    cmake --install "$DEPS/libzmq-build" >/dev/null
    [ -f "$PREFIX/lib/libzmq.a" ] || { echo "no static libzmq was produced" >&2; exit 1; }
    printf '%s' "$want" >"$DEPS/libzmq.stamp"
}

# --- cppzmq: Debian's headers, copied so the host's /usr/include stays off the path
copy_cppzmq() {
    mkdir -p "$PREFIX/include/cppzmq"
    for h in zmq.hpp zmq_addon.hpp; do
        cmp -s "/usr/include/$h" "$PREFIX/include/cppzmq/$h" ||
            cp "/usr/include/$h" "$PREFIX/include/cppzmq/$h"
    done
}

# --- googletest from Debian's sources in /usr/src/googletest -----------------------
build_gtest() {
    want="$(dpkg-query -W -f='${Version}' googletest 2>/dev/null || echo unknown) $(toolchain_id)"
    if [ -f "$PREFIX/lib/cmake/GTest/GTestConfig.cmake" ] &&
        [ "$(cat "$DEPS/gtest.stamp" 2>/dev/null)" = "$want" ]; then
        return 0
    fi
    step "cross-building googletest"
    rm -rf "$DEPS/gtest-build"
    cmake -S /usr/src/googletest -B "$DEPS/gtest-build" -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_INSTALL_PREFIX="$PREFIX" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON >/dev/null
    cmake --build "$DEPS/gtest-build" -j "$JOBS" >/dev/null
    cmake --install "$DEPS/gtest-build" >/dev/null
    printf '%s' "$want" >"$DEPS/gtest.stamp"
}

# --- the library, its Windows host, its tests, and the pick-up folder ---------------
build_project() {
    step "cross-building QEL_ZMQ.dll"
    service=""
    [ -x "$LINUX_BUILD/service/qel-lua-service" ] &&
        service=$(cd "$LINUX_BUILD/service" && pwd)/qel-lua-service
    echo_peer=""
    [ -x "$LINUX_BUILD/examples/qel_echo_peer" ] &&
        echo_peer=$(cd "$LINUX_BUILD/examples" && pwd)/qel_echo_peer
    cmake -S "$here" -B "$B/project" -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -DCMAKE_PROJECT_QEL_ZMQ_INCLUDE="$here/cmake/WindowsBuild.cmake" \
        -DQEL_ZMQ_WIN_DEPS="$PREFIX" -DQEL_ZMQ_WIN_PACKAGE_DIR="$B/QEL_ZMQ-win64" \
        -DQEL_ZMQ_WINEPREFIX="$B/wine" \
        -DQEL_ZMQ_LINUX_SERVICE="$service" -DQEL_ZMQ_LINUX_ECHO_PEER="$echo_peer" \
        -DCMAKE_BUILD_TYPE=Release -DQEL_ZMQ_BUILD_SERVICE=OFF -DQEL_ZMQ_BUILD_PROGRAMS=OFF \
        -DQEL_ZMQ_BUILD_EXAMPLES=OFF -DQEL_ZMQ_BUILD_BENCH=OFF \
        -DQEL_ZMQ_BUILD_TESTS="${QEL_ZMQ_BUILD_TESTS:-ON}" \
        -DQEL_ZMQ_SKIP_TESTS_service=ON -DQEL_ZMQ_SKIP_TESTS_fuzz=ON -DQEL_ZMQ_SKIP_TESTS_fault=ON \
        -DQEL_ZMQ_SKIP_TESTS_load=ON -DQEL_ZMQ_SKIP_TESTS_hardening=ON >/dev/null
    cmake --build "$B/project" -j "$JOBS"
    echo "pick-up folder: $B/QEL_ZMQ-win64"
    ls -l "$B/QEL_ZMQ-win64"
}

# --- tests under wine ------------------------------------------------------------
# The prefix is booted before ctest, with a persistent wineserver whose helpers do not
# inherit ctest's pipes (otherwise tests seem to hang), and stopped afterwards: only
# this prefix's wineserver.
run_tests() {
    wine_run="$B/project/wine-run.sh"
    step "booting wine in $B/wine"
    "$wine_run" --boot
    trap '"$wine_run" --stop' EXIT
    step "running the Windows test suite under wine"
    (cd "$B/project" && ctest --output-on-failure -j "$JOBS" -LE memcheck)
}

mode=${1:-build}
case $mode in
build | all | test) ;;
*)
    echo "usage: $0 [build|test|all]" >&2
    exit 2
    ;;
esac
for tool in $MINGW-gcc-posix $MINGW-g++-posix $MINGW-objdump cmake dpkg-source wine wineserver flock; do
    command -v "$tool" >/dev/null || { echo "$tool is missing: run 'make deps'" >&2; exit 1; }
done
case $mode in build | all)
    fetch_zeromq
    build_libzmq
    copy_cppzmq
    [ "${QEL_ZMQ_BUILD_TESTS:-ON}" = OFF ] || build_gtest
    build_project
    ;;
esac
case $mode in test | all) run_tests ;; esac

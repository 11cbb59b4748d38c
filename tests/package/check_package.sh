#!/bin/sh
# check_package.sh BUILD SOURCE VERSION - installs the build into a scratch prefix, starts
# the installed qel-lua-service, then has the installed qel-lua and hosts built with
# find_package(QelZmq) and with pkg-config each run a script through it.
set -eu
build=$1 source=$2 version=$3
. "$source/scripts/service.sh"
. "$source/tests/package/consumers.sh"
work=$(mktemp -d)
trap 'stop_service >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
trap 'exit 143' INT TERM

cmake --install "$build" --prefix "$work/prefix" >/dev/null
library=$(find "$work/prefix" -name libqel_zmq.so | head -n 1)
[ -n "$library" ] || fail "libqel_zmq.so is not installed"
start_service "$work/prefix/bin/qel-lua-service" "$work"
check_consumers "$work/prefix" "$(dirname "$library")" "$source" "$service_port" "$work" "$version"
# qel-lua finds the library relative to itself, with no LD_LIBRARY_PATH.
answer=$(env -u LD_LIBRARY_PATH "$work/prefix/bin/qel-lua" -p "$service_port" -e 'return 7*6')
[ "$answer" = 42 ] || fail "the installed qel-lua alone answered '$answer'"
stop_service || fail "the installed service did not stop cleanly"
echo "installed tree ok: qel-lua, find_package and pkg-config hosts answered"

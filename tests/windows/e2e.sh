#!/bin/sh
# e2e.sh - the Windows DLL host, under wine, against the Linux qel-lua-service on a free
# loopback port.   e2e.sh WINE_RUN HOST_EXE DLL SERVICE
set -eu
wine_run=$1 host_exe=$2 dll=$3 service=$4

. "$(dirname "$0")/../../scripts/service.sh"
tmp=$(mktemp -d)
cleanup() {
    stop_service || true
    rm -rf "$tmp"
}
trap cleanup EXIT

[ -x "$service" ] || { echo "$service is not built: make windows builds it first"; exit 1; }
start_service "$service" "$tmp" || exit 1
script='return _VERSION, 6*7'
expected=$(printf 'Lua 5.4\t42')

# The DLL is the pick-up folder's copy, loaded by its Windows path (wine maps Z: to /).
win_dll=Z:$(echo "$dll" | tr / '\\')
answer=$(timeout 120 "$wine_run" "$host_exe" 127.0.0.1 "$service_port" "$script" "$win_dll" | sed 's/\r$//')
echo "answer: $answer"
if [ "$answer" != "$expected" ]; then
    echo "expected: $expected"
    exit 1
fi

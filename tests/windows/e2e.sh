#!/bin/sh
# e2e.sh - the Windows DLL host, under wine, against the Linux qel-lua-service on a free
# loopback port.   e2e.sh WINE_RUN HOST_EXE DLL SERVICE
set -eu
wine_run=$1 host_exe=$2 dll=$3 service=$4

tmp=$(mktemp -d)
pid=""
cleanup() {
    [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
    [ -z "$pid" ] || wait "$pid" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

[ -x "$service" ] || { echo "$service is not built: make windows builds it first"; exit 1; }
"$service" --bind 'tcp://127.0.0.1:*' >"$tmp/peer.out" 2>"$tmp/peer.err" &
pid=$!
script='return _VERSION, 6*7'
expected=$(printf 'Lua 5.4\t42')

# The service prints the endpoint it bound on its first line.
endpoint=""
for _ in $(seq 100); do
    endpoint=$(head -n 1 "$tmp/peer.out")
    [ -n "$endpoint" ] && break
    kill -0 "$pid" 2>/dev/null || { cat "$tmp/peer.err"; echo "the service exited early"; exit 1; }
    sleep 0.1
done
case $endpoint in
tcp://127.0.0.1:[0-9]*) port=${endpoint##*:} ;;
*) echo "the service printed no endpoint: '$endpoint'"; exit 1 ;;
esac

# The DLL is the pick-up folder's copy, loaded by its Windows path (wine maps Z: to /).
win_dll=Z:$(echo "$dll" | tr / '\\')
answer=$(timeout 120 "$wine_run" "$host_exe" 127.0.0.1 "$port" "$script" "$win_dll" | sed 's/\r$//')
echo "answer: $answer"
if [ "$answer" != "$expected" ]; then
    echo "expected: $expected"
    exit 1
fi

#!/bin/sh
# demo.sh BUILD_DIR - the main job end to end: start qel-lua-service on a free
# loopback port, run an example script and one -e script through qel-lua (and so
# through the library), print the answers, stop the service.
set -eu

build=${1:?usage: examples/demo.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
service=$build/service/qel-lua-service
client=$build/programs/qel-lua
for program in "$service" "$client"; do
    if [ ! -x "$program" ]; then
        echo "demo.sh: $program is missing; build first (make build)" >&2
        exit 2
    fi
done

workdir=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$service" --bind 'tcp://127.0.0.1:*' >"$workdir/endpoint" &
pid=$!

# The service prints the endpoint it bound on its first line; wait at most 10 s.
endpoint=
tries=0
while [ -z "$endpoint" ]; do
    endpoint=$(head -n 1 "$workdir/endpoint")
    if [ -z "$endpoint" ]; then
        tries=$((tries + 1))
        if [ "$tries" -gt 100 ] || ! kill -0 "$pid" 2>/dev/null; then
            echo "demo.sh: qel-lua-service did not start" >&2
            exit 1
        fi
        sleep 0.1
    fi
done
port=${endpoint##*:}
echo "qel-lua-service listening on $endpoint (pid $pid)"

echo "\$ qel-lua -p $port examples/hello.lua"
"$client" -p "$port" "$here/hello.lua"
echo "\$ qel-lua -p $port -e 'return _VERSION, 6*7'"
"$client" -p "$port" -e 'return _VERSION, 6*7'

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
echo "qel-lua-service stopped (exit status $status)"

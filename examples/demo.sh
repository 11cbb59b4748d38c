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
        echo "demo.sh: $program is missing; build first (make run builds build-run/)" >&2
        exit 2
    fi
done

workdir=$(mktemp -d)
. "$here/../scripts/service.sh"
cleanup() {
    stop_service 2>/dev/null || true
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_service "$service" "$workdir" || exit 1
echo "qel-lua-service listening on $service_endpoint (pid $service_pid)"

echo "\$ qel-lua -p $service_port examples/hello.lua"
"$client" -p "$service_port" "$here/hello.lua"
echo "\$ qel-lua -p $service_port -e 'return _VERSION, 6*7'"
"$client" -p "$service_port" -e 'return _VERSION, 6*7'

status=0
stop_service || status=$?
echo "qel-lua-service stopped (exit status $status)"

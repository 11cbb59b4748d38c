#!/bin/sh
# run.sh [LIBRARY [SERVICE]] - builds the C# binding and its test with mcs, starts
# qel-lua-service on a free loopback port and runs the test under mono against LIBRARY.
# Exit status 77 (skipped) when mcs or mono is missing; 0 only when every check passed.
set -eu

library=${1:-${QEL_ZMQ_LIBRARY:-}}
service=${2:-${QEL_LUA_SERVICE:-}}
if [ -z "$library" ] || [ -z "$service" ]; then
    echo "usage: run.sh LIBRARY SERVICE (or set QEL_ZMQ_LIBRARY and QEL_LUA_SERVICE)" >&2
    exit 2
fi
for file in "$library" "$service"; do
    if [ ! -e "$file" ]; then
        echo "run.sh: $file does not exist" >&2
        exit 2
    fi
done
here=$(cd "$(dirname "$0")" && pwd)
binding=$(dirname "$here")

if ! command -v mcs >/dev/null 2>&1; then
    echo "SKIP: mcs not found (Debian: apt-get install mono-mcs mono-runtime)"
    exit 77
fi

workdir=$(mktemp -d)
service_pid=
stop_service() {
    [ -n "$service_pid" ] || return 0
    kill -TERM "$service_pid" 2>/dev/null || true
    # The service answers what it already took in, then exits; give it 10 s.
    _tries=0
    while kill -0 "$service_pid" 2>/dev/null && [ "$_tries" -lt 100 ]; do
        sleep 0.1
        _tries=$((_tries + 1))
    done
    if kill -0 "$service_pid" 2>/dev/null; then
        echo "run.sh: the service did not stop within 10 s; killing it" >&2
        kill -KILL "$service_pid" 2>/dev/null || true
    fi
    wait "$service_pid" 2>/dev/null || true
    service_pid=
}
cleanup() {
    stop_service
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The wrapper is built as its own assembly, as hosts use it, so the shipped
# QelZmq.dll.config (the dllmap to libqel_zmq.so.1) is the one mono reads.
mcs -nologo -target:library -warn:4 -warnaserror+ -out:"$workdir/QelZmq.dll" "$binding/QelZmq.cs"
cp "$binding/QelZmq.dll.config" "$workdir/QelZmq.dll.config"
mcs -nologo -warn:4 -warnaserror+ -r:"$workdir/QelZmq.dll" -out:"$workdir/QelZmqTest.exe" "$here/QelZmqTest.cs"
echo "compiled QelZmq.dll and QelZmqTest.exe with $(mcs --version)"

if ! command -v mono >/dev/null 2>&1; then
    echo "SKIP: mono not found, compiled only (Debian: apt-get install mono-runtime)"
    exit 77
fi

# The dllmap names libqel_zmq.so.1; whatever file LIBRARY is, the loader finds it
# under that name here.
mkdir "$workdir/lib"
ln -s "$(cd "$(dirname "$library")" && pwd)/$(basename "$library")" "$workdir/lib/libqel_zmq.so.1"

: >"$workdir/service.out"
"$service" --bind 'tcp://127.0.0.1:*' >"$workdir/service.out" </dev/null &
service_pid=$!
endpoint=
tries=0
while [ -z "$endpoint" ]; do
    endpoint=$(head -n 1 "$workdir/service.out")
    [ -n "$endpoint" ] && break
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$service_pid" 2>/dev/null; then
        echo "run.sh: $service printed no endpoint within 10 s" >&2
        exit 1
    fi
    sleep 0.1
done
case $endpoint in
    tcp://127.0.0.1:*) port=${endpoint##*:} ;;
    *) echo "run.sh: unexpected endpoint '$endpoint'" >&2; exit 1 ;;
esac
echo "qel-lua-service on $endpoint (pid $service_pid)"

status=0
LD_LIBRARY_PATH="$workdir/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    timeout -k 10 240 mono --debug "$workdir/QelZmqTest.exe" "$port" || status=$?
if [ "$status" -eq 124 ]; then
    echo "run.sh: the test did not finish within 240 s" >&2
fi
exit "$status"

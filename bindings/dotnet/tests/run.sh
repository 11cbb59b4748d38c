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
# The hostile strings the test sends: the corpus the C and Python tests send too. ctest
# names it; run by hand, the source tree's.
QEL_HOSTILE_STRINGS=${QEL_HOSTILE_STRINGS:-$binding/../../tests/corpus/hostile_strings.txt}
export QEL_HOSTILE_STRINGS

if ! command -v mcs >/dev/null 2>&1; then
    echo "SKIP: mcs not found (Debian: apt-get install mono-mcs mono-runtime)"
    exit 77
fi

. "$here/../../../scripts/service.sh"
workdir=$(mktemp -d)
cleanup() {
    stop_service || true
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The wrapper is built as its own assembly, as hosts use it, once for each target the
# package holds; the shipped QelZmq.dll.config (the dllmap to libqel_zmq.so.1) is the one
# mono reads. The test is compiled against the net45 build and runs against each.
sh "$binding/build.sh" "$workdir/build" 0.0.0 || exit $?
mcs -nologo -warn:4 -warnaserror+ -r:"$workdir/build/net45/QelZmq.dll" -out:"$workdir/QelZmqTest.exe" "$here/QelZmqTest.cs"
echo "compiled QelZmq.dll (net45, netstandard2.0) and QelZmqTest.exe with $(mcs --version)"

if ! command -v mono >/dev/null 2>&1; then
    echo "SKIP: mono not found, compiled only (Debian: apt-get install mono-runtime)"
    exit 77
fi

# The dllmap names libqel_zmq.so.1; whatever file LIBRARY is, the loader finds it
# under that name here.
mkdir "$workdir/lib"
ln -s "$(cd "$(dirname "$library")" && pwd)/$(basename "$library")" "$workdir/lib/libqel_zmq.so.1"

start_service "$service" "$workdir" </dev/null || exit 1
echo "qel-lua-service on $service_endpoint (pid $service_pid)"

status=0
for target in net45 netstandard2.0; do
    cp "$workdir/QelZmqTest.exe" "$workdir/build/$target/"
    echo "--- QelZmq.dll for $target"
    LD_LIBRARY_PATH="$workdir/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
        timeout -k 10 240 mono --debug "$workdir/build/$target/QelZmqTest.exe" "$service_port" \
        >"$workdir/$target.log" 2>&1 || status=$?
    cat "$workdir/$target.log"
    if [ "$status" -eq 124 ]; then
        echo "run.sh: the test did not finish within 240 s" >&2
    fi
    [ "$status" -eq 0 ] || exit "$status"
    case $target in
        net45) refers="System.Runtime.Serialization, mscorlib" ;;
        *) refers=netstandard ;;
    esac
    grep -qx "binding refers to $refers" "$workdir/$target.log" || { echo "run.sh: not the $target build" >&2; exit 1; }
done

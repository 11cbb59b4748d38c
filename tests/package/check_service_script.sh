#!/bin/sh
# check_service_script.sh SOURCE SERVICE - scripts/service.sh, which the package checks
# start the service with: it takes the real service's endpoint, and refuses a program
# that prints something else first or nothing in time, leaving nothing it started running.
set -eu
source=$1 service=$2
. "$source/scripts/service.sh"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
work=$(mktemp -d)
# A fake left running by a failed row is ours to end, by the PID it wrote.
trap 'stop_service >/dev/null 2>&1 || true
[ ! -s "$work/fake.pid" ] || kill -KILL "$(cat "$work/fake.pid")" 2>/dev/null || true
rm -rf "$work"' EXIT
trap 'exit 143' INT TERM
# A second is plenty for the fakes; the real service keeps the usual wait.
quick=10

# fake NAME [LINE] - a program that writes its PID, prints LINE when given, then sleeps
# as that same process.
fake() {
    {
        echo '#!/bin/sh'
        echo "echo \$\$ >'$work/fake.pid'"
        [ -z "${2:-}" ] || echo "echo '$2'"
        echo 'exec sleep 30'
    } >"$work/$1"
    chmod +x "$work/$1"
}
fake notanendpoint notanendpoint
fake badport 'tcp://127.0.0.1:port'
fake silent

# row WHAT STATUS TENTHS PATTERN PROGRAM - start_service PROGRAM, waiting TENTHS tenths
# of a second at most (empty: its own default), returns STATUS and says what matches
# PATTERN on standard error; once it failed, or the service was stopped, the program is
# gone.
row() {
    what=$1 want=$2 pattern=$4 program=$5
    rm -f "$work/fake.pid"
    got=0
    service_start_tenths=$3 start_service "$program" "$work" 2>"$work/err" || got=$?
    [ "$got" = "$want" ] || fail "$what: start_service returned $got, not $want"
    [ -z "$pattern" ] || grep -q -e "$pattern" "$work/err" || fail "$what: said $(cat "$work/err")"
    pid=${service_pid:-}
    if [ "$got" = 0 ]; then
        case $service_port in '' | *[!0-9]*) fail "$what: port '$service_port'" ;; esac
        stop_service || fail "$what: the service ended with status $?"
    fi
    [ ! -s "$work/fake.pid" ] || pid=$(cat "$work/fake.pid")
    [ -n "$pid" ] || fail "$what: no PID to check"
    if kill -0 "$pid" 2>/dev/null; then fail "$what: process $pid still runs"; fi
}

row "the service" 0 "" "" "$service"
row "a first line that is not an endpoint" 1 "$quick" "'notanendpoint' first, not an endpoint" \
    "$work/notanendpoint"
row "an endpoint without a port" 1 "$quick" "not an endpoint like tcp://HOST:PORT" "$work/badport"
row "no first line in time" 1 "$quick" "did not start" "$work/silent"
echo "service.sh ok: the endpoint taken, a wrong or missing first line refused and its program gone"

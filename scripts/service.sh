# service.sh - sourced by shell scripts that need a running qel-lua-service on a free
# loopback port: start_service sets service_pid and service_port, stop_service ends it.
# The caller owns a scratch directory for the service's first output line.

# start_service PROGRAM DIR [OPTION...] - starts PROGRAM on tcp://127.0.0.1:* and waits
# (at most 10 s, or service_start_tenths tenths of a second when set) for the endpoint
# it prints on its first line. A program that prints something else first, or nothing
# in time, is stopped, and start_service returns 1 having said why on standard error.
start_service() {
    _program=$1 _dir=$2
    shift 2
    # Created here, not by the child's redirection, so the first read cannot miss it.
    : >"$_dir/service.out"
    "$_program" --bind 'tcp://127.0.0.1:*' "$@" >"$_dir/service.out" &
    service_pid=$!
    _tries=0
    # Only a whole line: a line read half written would not be the endpoint.
    while [ "$(wc -l <"$_dir/service.out")" -eq 0 ]; do
        _tries=$((_tries + 1))
        if [ "$_tries" -gt "${service_start_tenths:-100}" ] ||
            ! kill -0 "$service_pid" 2>/dev/null; then
            echo "$_program did not start" >&2
            _end_started
            return 1
        fi
        sleep 0.1
    done
    _endpoint=$(head -n 1 "$_dir/service.out")
    _port=${_endpoint##*:}
    case $_endpoint in
    *[[:space:]]*) _port= ;;
    tcp://?*:?*) ;;
    *) _port= ;;
    esac
    case $_port in
    '' | *[!0-9]*)
        echo "$_program printed '$_endpoint' first, not an endpoint like tcp://HOST:PORT" >&2
        _end_started
        return 1
        ;;
    esac
    service_endpoint=$_endpoint
    service_port=$_port
}

# _end_started - ends the program start_service started and would not keep, should it
# still run: SIGTERM, then SIGKILL 5 s later.
_end_started() {
    _tries=0
    # Each signal goes right after kill -0 has found the process still there (a child
    # not yet waited for keeps its PID), so that none reaches a process given it since.
    while kill -0 "$service_pid" 2>/dev/null; do
        if [ "$_tries" -eq 0 ]; then
            kill -TERM "$service_pid" 2>/dev/null || true
        elif [ "$_tries" -ge 50 ]; then
            kill -KILL "$service_pid" 2>/dev/null || true
            break
        fi
        _tries=$((_tries + 1))
        sleep 0.1
    done
    wait "$service_pid" 2>/dev/null || true
    service_pid=
}

# stop_service - SIGTERM lets the service answer what it already received; returns
# the service's exit status. Safe to call when nothing was started.
stop_service() {
    [ -n "${service_pid:-}" ] || return 0
    kill -TERM "$service_pid" 2>/dev/null || true
    _status=0
    wait "$service_pid" || _status=$?
    service_pid=
    return "$_status"
}

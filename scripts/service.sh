# service.sh - sourced by shell scripts that need a running qel-lua-service on a free
# loopback port: start_service sets service_pid and service_port, stop_service ends it.
# The caller owns a scratch directory for the service's first output line.

# start_service PROGRAM DIR [OPTION...] - starts PROGRAM on tcp://127.0.0.1:* and waits
# (at most 10 s) for the endpoint it prints on its first line.
start_service() {
    _program=$1 _dir=$2
    shift 2
    # Created here, not by the child's redirection, so the first read cannot miss it.
    : >"$_dir/service.out"
    "$_program" --bind 'tcp://127.0.0.1:*' "$@" >"$_dir/service.out" &
    service_pid=$!
    _endpoint=
    _tries=0
    while [ -z "$_endpoint" ]; do
        _endpoint=$(head -n 1 "$_dir/service.out")
        [ -n "$_endpoint" ] && break
        _tries=$((_tries + 1))
        if [ "$_tries" -gt 100 ] || ! kill -0 "$service_pid" 2>/dev/null; then
            echo "$_program did not start" >&2
            return 1
        fi
        sleep 0.1
    done
    service_endpoint=$_endpoint
    service_port=${_endpoint##*:}
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

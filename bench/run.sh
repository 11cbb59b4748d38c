#!/bin/sh
# run.sh - runs every benchmark and publishes the results as a Markdown page and a
# round-trip plot. Every sentence of the page that gives a figure or a comparison is
# made from this run's own results; the rest describes what was measured and how.
# Usage: bench/run.sh [--quick | --short] BUILD_DIR [OUT_DIR]
# --quick runs each program once at a tiny size (for CI) and writes to BUILD_DIR/bench-quick;
# --short runs a few rounds of everything, a first look, and writes to BUILD_DIR/bench-short.
set -eu

mode=full
case "${1:-}" in
--quick) mode=quick; shift ;;
--short) mode=short; shift ;;
esac
build=${1:?usage: bench/run.sh [--quick | --short] BUILD_DIR [OUT_DIR]}
if [ $mode = full ]; then out=${2:-docs}; else out=${2:-$build/bench-$mode}; fi
bin=$build/bench
here=$(dirname "$0")
service=$build/service/qel-lua-service
page=$out/benchmarks.md
plot=$out/bench_roundtrip.png
pin="taskset -c 0"

# How much each program measures. The programs' own defaults are the full run's; they
# are written out here too, so that the page can say what this run did.
quick=""
case $mode in
full)
    rounds=12 batch_ms=40 throughput_ms=1000 copies=41 lua_rounds=20000 lua_pairs=15
    handoffs=20000 redis_one=40000 redis_many=200000 syscalls=5000 io_rounds=5 ;;
short)
    rounds=3 batch_ms=10 throughput_ms=200 copies=9 lua_rounds=5000 lua_pairs=3
    handoffs=5000 redis_one=5000 redis_many=20000 syscalls=1000 io_rounds=3 ;;
quick)
    quick="--quick"
    rounds=1 batch_ms=0 throughput_ms=50 copies=3 lua_rounds=200 lua_pairs=1
    handoffs=20 redis_one=200 redis_many=1000 syscalls=20 io_rounds=1 ;;
esac
if [ $mode = quick ]; then
    # --quick makes each comparison one pair of batches of two exchanges.
    compare_args="--quick"
    throughput_args="--quick"
else
    compare_args="--rounds $rounds --batch-ms $batch_ms"
    throughput_args="--ms $throughput_ms --io-rounds $io_rounds"
fi

mkdir -p "$out"
work=$(mktemp -d)
redis_pid=""
cleanup() {
    if [ -n "$redis_pid" ]; then kill "$redis_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

for program in bench_peer bench_roundtrip bench_memory bench_service bench_throughput bench_copy \
    bench_handoff; do
    [ -x "$bin/$program" ] || { echo "run.sh: $bin/$program is not built" >&2; exit 1; }
done
command -v taskset >/dev/null || { echo "run.sh: taskset (util-linux) is missing" >&2; exit 1; }
have_service=no
[ -x "$service" ] && have_service=yes

say() { printf '%s\n' "$@" >>"$work/page.md"; }
section() { echo "== $1 ($(($(date +%s) - started)) s into the run)" >&2; }

# CPU time on a CPU (ns) and context switches, voluntary and not, summed over every
# thread of process $1, as "ns switches". A thread that ends between two readings takes
# its counts with it; redis-server's threads live as long as it does.
thread_cost() {
    for task in /proc/"$1"/task/*; do
        printf '%s %s %s\n' "$(cut -d' ' -f1 "$task/schedstat")" \
            "$(sed -n 's/^voluntary_ctxt_switches:[[:space:]]*//p' "$task/status")" \
            "$(sed -n 's/^nonvoluntary_ctxt_switches:[[:space:]]*//p' "$task/status")"
    done | awk '{ ns += $1; switches += $2 + $3 } END { printf "%.0f %.0f\n", ns, switches }'
}

# One Redis measurement: EVAL "return 1" 0 with $2 clients and $3 requests, no
# pipelining; $1 is the pinning prefix (or empty). Prints "requests/s p50_ms p99_ms
# server_cpu_us_per_request switches_per_request".
redis_run() {
    port=$("$bin/bench_peer" --free-port)
    $1 redis-server --save '' --appendonly no --port "$port" --bind 127.0.0.1 \
        --dir "$work" --loglevel warning >"$work/redis.log" 2>&1 &
    redis_pid=$!
    tries=0
    until [ "$(redis-cli -p "$port" ping 2>/dev/null)" = "PONG" ]; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || { echo "run.sh: redis-server did not start" >&2; cat "$work/redis.log" >&2; exit 1; }
        sleep 0.05
    done
    before=$(thread_cost "$redis_pid")
    $1 redis-benchmark -p "$port" -c "$2" -n "$3" --csv EVAL "return 1" 0 >"$work/redis.csv"
    after=$(thread_cost "$redis_pid")
    awk -F'","' -v n="$3" -v before="$before" -v after="$after" 'NR == 2 {
        split(before, b, " "); split(after, a, " ")
        printf "%s %s %s %.1f %.2f\n", $2, $5, $7, (a[1] - b[1]) / 1e3 / n, (a[2] - b[2]) / n
    }' "$work/redis.csv"
    kill "$redis_pid"
    wait "$redis_pid" 2>/dev/null || true
    redis_pid=""
}

value() { sed -n "s/^$1=//p" "$work/summary" | tail -n 1; }

started=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
: >"$work/summary"
: >"$work/page.md"

section "round trip"
$pin "$bin/bench_roundtrip" $compare_args --peer "$bin/bench_peer" --data "$work/rt_pinned.dat" >"$work/rt_pinned.md"
"$bin/bench_roundtrip" $compare_args --peer "$bin/bench_peer" --data "$work/rt_unpinned.dat" >"$work/rt_unpinned.md"

section "copy"
$pin "$bin/bench_copy" $quick --repeats $copies >"$work/copy.md"
if [ -x "$bin/bench_lua_flag" ]; then
    section "lua flag"
    $pin "$bin/bench_lua_flag" $quick --rounds $lua_rounds --pairs $lua_pairs >"$work/lua_flag.md"
fi

section "memory"
"$bin/bench_memory" --peer "$bin/bench_peer" --raw >"$work/memory.md"
"$bin/bench_memory" --peer "$bin/bench_peer" >>"$work/memory.md"

section "hand-off"
echo "handoff_us_pinned=$($pin "$bin/bench_handoff" --exchanges $handoffs)" >>"$work/summary"
echo "handoff_us_unpinned=$("$bin/bench_handoff" --exchanges $handoffs)" >>"$work/summary"

if [ $have_service = yes ]; then
    section "service"
    $pin "$bin/bench_service" $compare_args --peer "$bin/bench_peer" --service "$service" \
        --summary "$work/summary" --data "$work/svc_pinned.dat" >"$work/svc_pinned.md"
    "$bin/bench_service" $compare_args --peer "$bin/bench_peer" --service "$service" \
        --summary "$work/summary" --data "$work/svc_unpinned.dat" >"$work/svc_unpinned.md"
    section "system calls"
    have_strace=no
    if command -v strace >/dev/null; then
        if "$bin/bench_service" --syscalls $syscalls --peer "$bin/bench_peer" --service "$service" \
            --summary "$work/summary" >"$work/syscalls.md" 2>"$work/syscalls.err"; then
            have_strace=yes
        else
            cat "$work/syscalls.err" >&2
        fi
    fi
    section "throughput"
    "$bin/bench_throughput" $throughput_args --service "$service" --summary "$work/summary" >"$work/throughput.md"
fi

section "redis"
have_redis=no
if command -v redis-server >/dev/null && command -v redis-benchmark >/dev/null; then
    have_redis=yes
    redis_run "$pin" 1 $redis_one >"$work/redis_1_pinned"
    redis_run "" 1 $redis_one >"$work/redis_1_unpinned"
    for clients in 4 16 50; do
        redis_run "" $clients $redis_many >"$work/redis_${clients}_unpinned"
    done
fi
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
seconds=$(($(date +%s) - started))
echo "run.sh: measured for $seconds s" >&2

# ---------------------------------------------------------------------------- facts
# What was measured, as the run finds it: the machine, the versions the programs run
# with and the build they come from.
cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt" 2>/dev/null | head -n 1; }
compiler=$(cache_value CMAKE_CXX_COMPILER)
compiler_version=$("${compiler:-c++}" --version 2>/dev/null | head -n 1 || true)
build_type=$(cache_value CMAKE_BUILD_TYPE)
zmq_version=$("$bin/bench_peer" --zmq-version)
service_version=unknown
[ $have_service = yes ] && service_version=$("$service" --version)
redis_version="not installed"
[ $have_redis = yes ] && redis_version=$(redis-server --version | sed -n 's/.* v=\([^ ]*\).*/\1/p')
libc_version=$(getconf GNU_LIBC_VERSION 2>/dev/null || echo unknown)
commit=unknown
if command -v git >/dev/null && git -C "$here" rev-parse --short HEAD >/dev/null 2>&1; then
    commit=$(git -C "$here" rev-parse --short HEAD)
    git -C "$here" diff --quiet HEAD 2>/dev/null || commit="$commit, with uncommitted changes"
fi

case $mode in
full) run_words="a full run (\`bench/run.sh\`, what \`make bench\` does)" caveat="" ;;
short)
    run_words="a short run (\`bench/run.sh --short\`)"
    caveat=" A short run is a first look: its figures vary more than a full run's." ;;
quick)
    run_words="a quick run (\`bench/run.sh --quick\`)"
    caveat=" A QUICK RUN ONLY CHECKS THAT THE PROGRAMS WORK: ITS FIGURES MEAN NOTHING." ;;
esac
if [ $mode = quick ]; then
    extent="every comparison is one pair of batches of two exchanges, and every throughput run lasts $throughput_ms ms"
else
    extent="every comparison alternates $rounds pairs of batches of about $batch_ms ms (half as many plus one for the rows whose exchanges are long), and every throughput run lasts $throughput_ms ms"
fi

# The service's CPU time per request as a multiple of Redis's ($1 / $2), or a dash.
cpu_ratio() { awk -v s="$1" -v r="$2" 'BEGIN { if (s != "" && r + 0 > 0) printf "%.2f", s / r; else print "–" }'; }

# Requests per second that $1 µs of CPU per request allows.
rate_of() { awk -v u="$1" 'BEGIN { if (u + 0 > 0) printf "%.0f", 1e6 / u; else print "–" }'; }

us_per_request() { awk -v r="$1" 'BEGIN { if (r > 0) printf "%.1f", 1e6 / r; else print "–" }'; }

# `return 1` through the service against the raw echo in band $1 (pinned or unpinned),
# split as far as this run measured it: the echo, the bare hand-off, and what is left.
# Prints nothing when the band has no figures.
service_split() {
    awk -v x="$(value "service_return1_us_$1")" -v y="$(value "echo_us_$1")" \
        -v h="$(value "handoff_us_$1")" 'BEGIN {
        if (x == "" || y == "" || x + 0 <= 0 || y + 0 <= 0) exit
        z = x - y
        printf "`return 1` took %.1f µs through the library and the service, and %.1f µs as a raw libzmq echo of the same text", x, y
        if (z <= 0) { print ": in this run the service added nothing to the echo."; exit }
        printf ", so the service added %.1f µs.", z
        if (h == "") { print ""; exit }
        if (h + 0 <= z)
            printf " A bare hand-off of the same kind between two processes (`bench_handoff`: a futex wake there, an eventfd back, awaited in poll(), nothing else) took %.1f µs per round trip; the other %.1f µs are Lua, the code of the service and whatever else its path does that the echo peer does not.\n", h, z - h
        else
            printf " A bare hand-off between two processes measured alone took %.1f µs, more than that difference, so this run gives no split.\n", h
    }'
}

# ---------------------------------------------------------------------------- page
say "# Benchmarks" ""
say "Measured on $(date -u '+%Y-%m-%d %H:%M UTC') by $run_words, which took $seconds s:" \
    "$extent.$caveat Every figure and comparison on this page comes from that run;" \
    "\`make bench\` regenerates the whole page." ""
say "## What was measured" ""
say "| | |" "|---|---|"
say "| CPU | $cpu, $(nproc) CPUs available to the run |"
say "| Kernel | $(uname -srm) |"
say "| C library | $libc_version |"
say "| libzmq | $zmq_version (as loaded by the benchmark programs) |"
say "| Service | \`qel-lua-service --version\`: $service_version |"
say "| Redis | $redis_version |"
say "| Build | \`$build\`, $build_type, $compiler_version |"
say "| Source | commit $commit (the tree this \`bench/run.sh\` is in) |"
say "| Load average (1, 5, 15 min) | before: $load_before; after: $load_after |"
say ""
say "Pinned runs put every process of the run on CPU 0 (\`taskset -c 0\`): client, peer or" \
    "service, and their ZeroMQ I/O threads. Unpinned runs let the scheduler place the" \
    "threads on any CPU the run may use." ""

say "## 1. Round trip: library against raw libzmq" ""
say "A is a raw libzmq REQ client (\`zmq_send\`, \`zmq_msg_recv\`) that copies each reply" \
    "once into a new buffer of size + 1 bytes, the copy this interface requires. B is" \
    "\`executeLuaScriptQel\` + \`freeResult\` from the shared library. Both use their own" \
    "context with one I/O thread and talk to the same peer (\`bench_peer\`: a request" \
    "\"N\" gets N bytes back, sent zero-copy), in alternating batches A B A B ..." \
    "B/A is the median over the pairs of median(B) / median(A)." ""
say "### Pinned" ""
cat "$work/rt_pinned.md" >>"$work/page.md"
say "" "### Unpinned" ""
cat "$work/rt_unpinned.md" >>"$work/page.md"
say "" "![Round-trip time against reply size](bench_roundtrip.png)" ""

say "## 2. Library against the reference service" ""
if [ $have_service = yes ]; then
    say "Each script sent with the library to \`qel-lua-service --workers 1\`, as a ratio to" \
        "a raw libzmq REQ client that sends the same text to an echo peer, the two run in" \
        "alternating batches. The second table has the service build replies of growing" \
        "size N (\`return string.rep(\"x\", N)\`) next to raw libzmq fetching N bytes from" \
        "\`bench_peer\`; the third builds them by doubling a string. The fourth compares" \
        "the service with itself under other options." ""
    say "The service runs each request in a worker process. The supervisor, which owns the" \
        "socket, puts the request in memory it shares with the worker and wakes the worker" \
        "through a futex; the worker builds the reply in shared memory and rings the" \
        "supervisor through an eventfd, and the supervisor sends the reply from there." ""
    say "The server columns give what the server of A and of B spent per request: the" \
        "time on a CPU (field 1 of \`/proc/PID/task/TID/schedstat\`) and the voluntary and" \
        "involuntary context switches (\`/proc/PID/task/TID/status\`), summed over every" \
        "thread of the server's processes (the peer; the service's supervisor and its" \
        "workers, found as its children), read before and after each batch and divided by" \
        "its requests. A thread that ended during a batch would take its counts with it, a" \
        "small error; these servers start no threads while they serve." \
        "The second table of each band is the design's floor: the same raw echo, but" \
        "\`bench_peer --hop\` hands each request to a child process and waits for it (a futex" \
        "wake there, an eventfd back, awaited in poll(), what \`bench_handoff\` measures" \
        "alone) before it replies; it runs in alternating batches with the plain echo." ""
    for band in pinned unpinned; do
        if [ $band = pinned ]; then say "### Pinned" ""; else say "### Unpinned" ""; fi
        cat "$work/svc_$band.md" >>"$work/page.md"
        split=$(service_split $band)
        [ -n "$split" ] && say "" "$split"
        say ""
    done
    say "### System calls per request" ""
    if [ "$have_strace" = yes ]; then
        say "A batch of \`return 1\` with \`strace -c -f -p PID\` attached to the echo peer, then" \
            "to the service's supervisor and to its worker, divided by the batch's requests;" \
            "the last column lists the calls each made most often. strace slows every call" \
            "down, so this section counts calls and times nothing." ""
        cat "$work/syscalls.md" >>"$work/page.md"
    elif command -v strace >/dev/null; then
        say "Not measured: strace could not attach to the service's processes."
    else
        say "Not measured: strace is not installed."
    fi
    say ""
else
    say "Not measured: \`qel-lua-service\` was not built in $build." ""
fi

say "## 3. Throughput" ""
if [ $have_service = yes ]; then
    say "Client threads each with their own handle, sending back to back for a fixed time," \
        "against the service with one worker and with two (both started side by side, runs" \
        "alternating). The 50-thread row is for comparison with Redis below. CPU µs/req and" \
        "switches/req are the service's, all threads of the supervisor and its workers, read" \
        "from /proc as in section 2 before and after each run and divided by its requests." \
        "The supervisor's table splits its own CPU time at 16 client threads by thread:" \
        "the serving loop on its main thread, ZeroMQ's I/O thread (\`ZMQbg/IO/0\`) and the" \
        "rest; 1 / (CPU per request) is the rate at which that much work fills one CPU. The" \
        "last table runs \`return 1\` from 16 client threads against a service whose" \
        "ZeroMQ context has one I/O thread and one with two (\`QEL_IO_THREADS\`), in" \
        "alternating runs." ""
    cat "$work/throughput.md" >>"$work/page.md"
else
    say "Not measured: \`qel-lua-service\` was not built in $build."
fi
say ""

say "## 4. Next to Redis \`EVAL\`" ""
if [ $have_redis = yes ]; then
    say "\`redis-benchmark\` with 1, 4, 16 and 50 clients, no pipelining, running" \
        "\`EVAL \"return 1\" 0\` against a \`redis-server\` started for the run on a free" \
        "loopback port with persistence off ($redis_one requests with one client," \
        "$redis_many with more). The library rows come from sections 2 and 3;" \
        "throughput is unpinned, as in section 3. Server CPU µs/req and switches/req are" \
        "redis-server's, every thread of it, read from /proc before and after each" \
        "\`redis-benchmark\` run and divided by its requests, next to the service's from" \
        "section 3 (1 worker, the same number of client threads)." ""
    read -r r1p _ <"$work/redis_1_pinned"
    read -r r1u r1u50 r1u99 r1cpu r1sw <"$work/redis_1_unpinned"
    say "| One client, µs per request | pinned | unpinned |"
    say "|---|---:|---:|"
    say "| Redis \`EVAL \"return 1\" 0\` | $(us_per_request "$r1p") | $(us_per_request "$r1u") |"
    if [ $have_service = yes ]; then
        say "| Library + \`qel-lua-service\` \`return 1\`, 1 worker | $(value service_return1_us_pinned) | $(value service_return1_us_unpinned) |"
        say "| Raw libzmq echo (no Lua), for scale | $(value echo_us_pinned) | $(value echo_us_unpinned) |"
        say "" "| Clients | Redis: req/s | Redis p50 / p99, ms | Library + service, 1 worker: req/s | 2 workers: req/s | Redis: server CPU µs/req | Redis: switches/req | Service, 1 worker: CPU µs/req | Service: switches/req | Service CPU / Redis CPU |"
        say "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
        say "| 1 | ${r1u%.*} | $r1u50 / $r1u99 | $(value service_return1_rps_1_w1) | $(value service_return1_rps_1_w2) | $r1cpu | $r1sw | $(value service_return1_cpu_1_w1) | $(value service_return1_switches_1_w1) | $(cpu_ratio "$(value service_return1_cpu_1_w1)" "$r1cpu") |"
        for clients in 4 16 50; do
            read -r rps p50 p99 rcpu rsw <"$work/redis_${clients}_unpinned"
            say "| $clients | ${rps%.*} | $p50 / $p99 | $(value service_return1_rps_${clients}_w1) | $(value service_return1_rps_${clients}_w2) | $rcpu | $rsw | $(value service_return1_cpu_${clients}_w1) | $(value service_return1_switches_${clients}_w1) | $(cpu_ratio "$(value service_return1_cpu_${clients}_w1)" "$rcpu") |"
        done
        read -r rps16 _ _ rcpu16 _ <"$work/redis_16_unpinned"
        one16=$(cpu_ratio "$(value service_return1_cpu_16_w1)" "$rcpu16")
        two16=$(cpu_ratio "$(value service_return1_cpu_16_w2)" "$rcpu16")
        met16=$(awk -v a="$one16" -v b="$two16" 'BEGIN { m = a + 0; if (b + 0 > 0 && (m == 0 || b + 0 < m)) m = b + 0; print (m > 0 && m <= 2) ? "met" : "**not met**" }')
        say "" "At 16 client threads the service spent ${one16}× Redis's server CPU per request" \
            "with 1 worker and ${two16}× with 2 (target ≤ 2: $met16). With 2 workers it served" \
            "$(cpu_ratio "$(value service_return1_rps_16_w2)" "$rps16")× Redis's requests per second." \
            "On two CPUs the client threads and their ZeroMQ I/O threads take much of the" \
            "machine; with the clients on other cores the service would be bounded by its" \
            "supervisor alone, whose $(value supervisor_cpu_16) µs of CPU per request (section 3)" \
            "allow $(rate_of "$(value supervisor_cpu_16)") requests/s," \
            "$(cpu_ratio "$(rate_of "$(value supervisor_cpu_16)")" "$rps16")× Redis's rate in this run."
    fi
else
    say "Not measured: \`redis-server\` or \`redis-benchmark\` is not installed."
fi
say ""

say "## 5. Memory" ""
say "Peak resident size (VmHWM) of a host process that receives one 16 MiB reply and" \
    "still holds the result, minus its idle peak once connected, as a multiple of the reply" \
    "size. At its peak a client holds the reply twice, in ZeroMQ's message and in the copy" \
    "the interface requires; the target says how far above that it may go." ""
say "| Client | Reply | Idle | Peak | (Peak − idle) / reply | Target | Met |"
say "|---|---:|---:|---:|---:|---:|:---:|"
cat "$work/memory.md" >>"$work/page.md"
say ""

say "## 6. The reply copy alone" ""
say "The copy into the result buffer, without any messaging, on one CPU: plain \`memcpy\`" \
    "(what client A does, which ignores NULs), \`memccpy\` (stops at the first NUL, as the" \
    "interface requires) and the library's own copy, \`memchr\` + \`memcpy\` over 32 KiB" \
    "blocks, so that each block is copied while it is still in the cache." ""
cat "$work/copy.md" >>"$work/page.md"
say ""

if [ -f "$work/lua_flag.md" ]; then
    say "## 7. The read-only table flag" ""
    say "A loop of table writes in the stock Lua interpreter of the vendored tree and in the" \
        "same interpreter on the service's patched core, whose every write checks the flag." ""
    say "| Loop | Stock | Patched | Patched / stock | Target | Met |" "|---|---:|---:|---:|---:|:---:|"
    cat "$work/lua_flag.md" >>"$work/page.md"
    say ""
fi

say "## Notes" ""
say "What in the code makes these rows come out as they do, without figures:" \
    "[bench/notes.md](../bench/notes.md)."

# ---------------------------------------------------------------------------- plot
if command -v gnuplot >/dev/null; then
    svc_line=""
    [ -s "$work/svc_pinned.dat" ] &&
        svc_line=", '$work/svc_pinned.dat' using 0:2 with linespoints lw 2 pt 9 lc rgb '#c0392b' title 'library + qel-lua-service, pinned'"
    gnuplot <<EOF
set terminal pngcairo size 900,560 font ",11"
set output '$plot'
set title 'Round-trip time against reply size (medians)'
set xlabel 'reply size'
set ylabel 'round trip, µs'
set logscale y
set grid ytics mytics xtics
set key top left
set xtics ("0 B" 0, "16 B" 1, "1 KiB" 2, "64 KiB" 3, "1 MiB" 4, "16 MiB" 5)
set xrange [-0.3:5.3]
plot '$work/rt_pinned.dat' using 0:2 with linespoints lw 2 pt 7 title 'A: raw libzmq + copy, pinned', \
     '$work/rt_pinned.dat' using 0:3 with linespoints lw 2 pt 5 title 'B: library, pinned', \
     '$work/rt_unpinned.dat' using 0:2 with linespoints dt 2 pt 6 title 'A, unpinned', \
     '$work/rt_unpinned.dat' using 0:3 with linespoints dt 2 pt 4 title 'B, unpinned'$svc_line
EOF
else
    say "" "(gnuplot is not installed: no plot.)"
fi

cp "$work/page.md" "$page"
echo "run.sh: wrote $page and $plot" >&2

#!/bin/sh
# demo.sh - the main job in one go: start a peer on a free loopback port, run a
# script through the library with the example host, print the answer, stop the peer.
# Usage: examples/demo.sh BUILD_DIR
set -eu
build=${1:-build}
out=$(mktemp)
"$build/examples/qel_echo_peer" "tcp://127.0.0.1:*" 1 >"$out" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; rm -f "$out"' EXIT
for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
endpoint=$(head -n 1 "$out")
port=${endpoint##*:}
echo "peer at $endpoint"
"$build/examples/qel_example_run" 127.0.0.1 "$port" "return _VERSION, 6*7"

#!/bin/sh
# run_testes.sh LUA TESTES WORK - runs Lua's own test suite (all.lua) in its portable,
# soft mode with the interpreter LUA, in a copy of TESTES under WORK, since the suite
# writes files next to itself.
set -eu
lua=$1 testes=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
cp -R "$testes" "$work/testes"
cd "$work/testes"
"$lua" -e "_port = true _soft = true" all.lua >"$work/all.log" 2>&1 || {
    tail -40 "$work/all.log"
    echo "run_testes.sh: all.lua failed under $lua (log: $work/all.log)" >&2
    exit 1
}
grep -q "^final OK" "$work/all.log" || {
    tail -40 "$work/all.log"
    echo "run_testes.sh: all.lua did not reach its end" >&2
    exit 1
}
tail -3 "$work/all.log"

#!/bin/sh
# check_exports.sh - fails unless the shared library's dynamic symbol table defines
# exactly the five C entry points: no C++ runtime, cppzmq or internal symbol may leak.
set -eu
lib="$1"
expected="connectToQelLuaService
createConnectionHandle
executeLuaScriptQel
freeHandle
freeResult"
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
if [ "$actual" != "$expected" ]; then
    echo "unexpected dynamic symbols in $lib:"
    echo "$actual"
    exit 1
fi
# Each must be a function symbol with default visibility in the text section.
count=$(nm -D --defined-only "$lib" | awk '$2 == "T"' | wc -l)
[ "$count" -eq 5 ] || { echo "expected 5 text symbols, found $count"; exit 1; }
echo "exports ok: $(echo "$actual" | tr '\n' ' ')"

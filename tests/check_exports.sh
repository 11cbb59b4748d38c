#!/bin/sh
# check_exports.sh LIB EXPORTS - fails unless the shared library's dynamic symbol table
# defines exactly the names of EXPORTS (one a line, the list the build reads from
# qel_zmq.h): no C++ runtime, cppzmq or internal symbol may leak, and none may be missing.
set -eu
lib=$1 list=$2
expected=$(LC_ALL=C sort "$list")
[ -n "$expected" ] || { echo "$list names no export"; exit 1; }
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
    echo "unexpected dynamic symbols in $lib:"
    echo "$actual"
    echo "expected (from $list):"
    echo "$expected"
    exit 1
fi
# Each must be a function symbol with default visibility in the text section.
wanted=$(echo "$expected" | wc -l)
count=$(nm -D --defined-only "$lib" | awk '$2 == "T"' | wc -l)
[ "$count" -eq "$wanted" ] || { echo "expected $wanted text symbols, found $count"; exit 1; }
echo "exports ok: $(echo "$actual" | tr '\n' ' ')"

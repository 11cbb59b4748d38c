#!/bin/sh
# scripts/function-lengths.sh - lists the functions of the given C and C++ files, longest
# first, as "LINES FILE:LINE NAME" (universal-ctags finds where each one ends). With no
# files, those of service/. `make lengths` installs the tools and runs it.
set -eu
cd "$(dirname "$0")/.."
[ "$#" -gt 0 ] || set -- $(git ls-files 'service/*.c' 'service/*.cpp' 'service/*.h')
ctags --output-format=json --fields=+ne --kinds-C++=f --kinds-C=f -f - "$@" |
    python3 -c '
import json, sys
rows = []
for line in sys.stdin:
    tag = json.loads(line)
    if "end" in tag:
        rows.append((tag["end"] - tag["line"] + 1, "%s:%d" % (tag["path"], tag["line"]), tag["name"]))
for row in sorted(rows, reverse=True):
    print("%4d %s %s" % row)
'

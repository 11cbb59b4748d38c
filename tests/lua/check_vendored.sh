#!/bin/sh
# check_vendored.sh DIR - DIR holds Lua's release unchanged: every file that SHA256SUMS
# lists, with its checksum, and no other file but our notes, build and patch.
set -eu
cd "$1"
sha256sum --quiet -c SHA256SUMS
extra=$(find . -type f | sort | while read -r file; do
    case $file in
    ./SHA256SUMS | ./PROVENANCE.md | ./CMakeLists.txt | ./budget.patch) ;;
    *) grep -qF "  $file" SHA256SUMS || echo "$file" ;;
    esac
done)
[ -z "$extra" ] || { echo "check_vendored.sh: files that are not the release's: $extra" >&2; exit 1; }

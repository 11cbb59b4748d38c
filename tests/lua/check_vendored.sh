#!/bin/sh
# check_vendored.sh DIR OURS... - DIR holds a vendored release unchanged: every file that
# SHA256SUMS lists, with its checksum, and no other file but SHA256SUMS and the files
# named in OURS (our notes, build and patch).
set -eu
cd "$1"
shift
sha256sum --quiet -c SHA256SUMS
extra=$(find . -type f | sort | while read -r file; do
    ours=no
    for own in SHA256SUMS "$@"; do
        [ "$file" = "./$own" ] && ours=yes
    done
    [ $ours = yes ] || grep -qF "  $file" SHA256SUMS || echo "$file"
done)
[ -z "$extra" ] || { echo "check_vendored.sh: files that are not the release's: $extra" >&2; exit 1; }

#!/bin/sh
# check_pins.sh SOURCE - windows/pinned-packages.txt is well formed (an archive path and a
# SHA-256 a line), and fetch-windows-sources.sh refuses a folder whose files are missing or
# are not the pinned bytes, for checking and for unpacking alike. Uses no network.
set -eu
source=$1
fetch=$source/scripts/fetch-windows-sources.sh
pins=$source/windows/pinned-packages.txt
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

lines=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$pins")
[ -n "$lines" ] || fail "$pins pins nothing"
echo "$lines" | while read -r path sha extra; do
    case $path in
    pool/main/?*/?*/?*_?*) ;;
    *) fail "'$path' is not a file's path in a Debian archive" ;;
    esac
    echo "$sha" | grep -q -E '^[0-9a-f]{64}$' || fail "'$sha' of $path is not a SHA-256"
    [ -z "$extra" ] || fail "$path has more than two fields"
done
dsc=$(echo "$lines" | sed -n 's|^[^ ]*/\([^ /]*\.dsc\) .*|\1|p' | head -n 1)
[ -n "$dsc" ] || fail "$pins pins no source package"

expect_refusal() {
    _what=$1 _pattern=$2
    shift 2
    if _out=$("$@" 2>&1); then
        fail "$_what was accepted"
    fi
    echo "$_out" | grep -q -e "$_pattern" || fail "$_what was refused without saying why: $_out"
}

expect_refusal "an empty folder" "is missing" "$fetch" --check "$work"
# Every pinned name present, none with the pinned bytes.
echo "$lines" | while read -r path sha; do
    echo "not $sha" >"$work/${path##*/}"
done
expect_refusal "files other than the pinned ones" "has SHA-256 .* but .* pins" \
    "$fetch" --check "$work"
expect_refusal "unpacking files other than the pinned ones" "has SHA-256 .* but .* pins" \
    "$fetch" --unpack "$work" "$dsc" "$work/unpacked"
[ ! -e "$work/unpacked" ] || fail "a refused unpack left $work/unpacked behind"
expect_refusal "unpacking a file that is not pinned" "is not pinned" \
    "$fetch" --unpack "$work" "other_1.0-1.dsc" "$work/unpacked"
echo "pins ok: $(echo "$lines" | wc -l) files, each refused unless its bytes are the pinned ones"

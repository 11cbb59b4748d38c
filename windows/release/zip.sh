#!/bin/sh
# zip.sh DIR NAME ZIP - zips DIR/NAME into ZIP reproducibly (files in a fixed order, every
# time stamp SOURCE_DATE_EPOCH, or 2000-01-01, in UTC, no extra attributes) and writes
# ZIP.sha256 beside it in sha256sum's format.
set -eu
dir=$1 name=$2 zip=$3
stamp=${SOURCE_DATE_EPOCH:-946684800}
cd "$dir"
find "$name" -exec touch -h -d "@$stamp" {} +
rm -f "$zip"
find "$name" | LC_ALL=C sort | TZ=UTC zip -q -X -D -@ "$zip"
cd "$(dirname "$zip")"
sha256sum "$(basename "$zip")" >"$zip.sha256"

#!/bin/sh
# fetch-debian-source.sh - unpacks a Debian source package (with Debian's patches, its
# checksums checked against the signed index) into DEST, for dependencies that a cross
# build compiles itself.   scripts/fetch-debian-source.sh PACKAGE DEST
# apt reads a private sources list, index and cache under DEST.apt, so the machine's own
# apt configuration is neither read for sources nor changed.
set -eu
package=$1
dest=$2
[ -f "$dest/.fetched" ] && exit 0
apt=$dest.apt
rm -rf "$apt" "$dest"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d" "$apt/download"
# The deb-src entries mirror the machine's own Debian entries: same archives, same
# suites, same signing keys; only the type changes.
: >"$apt/sources.list"
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && grep -q '^Signed-By:.*debian-archive-keyring' "$f" || continue
    sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt/sources.list.d/${f##*/}"
done
if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*debian.*\)/deb-src \1/p' /etc/apt/sources.list >"$apt/sources.list"
fi
set -- -q -o "Dir::Etc::SourceList=$apt/sources.list" \
    -o "Dir::Etc::SourceParts=$apt/sources.list.d" \
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" \
    -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)"
apt-get "$@" update >/dev/null
(cd "$apt/download" && apt-get "$@" source --download-only "$package" >/dev/null)
dpkg-source -x "$apt"/download/"$package"_*.dsc "$dest" >/dev/null
sed -n 's/^Version: //p' "$apt"/download/"$package"_*.dsc >"$dest/.fetched"
rm -rf "$apt"

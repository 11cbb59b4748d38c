#!/bin/sh
# fetch-windows-sources.sh - the explicit download step of the Windows build (`make
# windows-sources`): fetches the Debian files that windows/pinned-packages.txt pins and
# keeps only bytes whose SHA-256 is the pinned one. The build checks them again.
#   scripts/fetch-windows-sources.sh [DIR]          download what DIR lacks, check all
#   scripts/fetch-windows-sources.sh --check DIR    check all, without the network
#   scripts/fetch-windows-sources.sh --unpack DIR FILE DEST
#                                                   check FILE's package, unpack it in DEST
# DIR defaults to build-sources/ at the top of the tree. The files come from the machine's
# own Debian mirrors, then deb.debian.org, then snapshot.debian.org (which keeps every
# version Debian has published); QEL_ZMQ_DEBIAN_MIRRORS replaces that list. No deb-src
# entry is needed: each file is fetched by its path in the archive.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
pins=$top/windows/pinned-packages.txt
me=fetch-windows-sources.sh
# The archive as it was when the pins were taken, for versions the mirrors have dropped.
snapshot=https://snapshot.debian.org/archive/debian/20250520T000000Z

fail() {
    echo "$me: $*" >&2
    exit 1
}

# "PATH SHA256" for each pinned file, comments and blank lines left out.
pinned() { sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$pins"; }

# Fails unless DIR/NAME exists with the SHA-256 pinned for it.
check_file() {
    _path=$1 _want=$2
    _name=${_path##*/}
    [ -f "$dir/$_name" ] || fail "$dir/$_name is missing: run make windows-sources (scripts/$me)"
    _have=$(sha256sum <"$dir/$_name")
    _have=${_have%% *}
    [ "$_have" = "$_want" ] || fail "$dir/$_name has SHA-256 $_have, but $pins pins $_want;
the file is not the pinned one: remove it and run make windows-sources again"
}

# check_all [PACKAGE]: every pinned file, or those whose name starts with PACKAGE_.
check_all() {
    _package=${1:-}
    pinned | while read -r path sha; do
        name=${path##*/}
        [ -z "$_package" ] || [ "${name%%_*}" = "$_package" ] || continue
        check_file "$path" "$sha"
    done
}

mirrors() {
    if [ -n "${QEL_ZMQ_DEBIAN_MIRRORS:-}" ]; then
        echo "$QEL_ZMQ_DEBIAN_MIRRORS" | tr ' ' '\n'
        return
    fi
    # The machine's main Debian archives (the security archive has another pool).
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && grep -q '^Signed-By:.*debian-archive-keyring' "$f" || continue
        sed -n 's/^URIs:[[:space:]]*//p' "$f" | tr ' ' '\n'
    done | grep -v -e security -e '^$' || true
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb[[:space:]]\{1,\}\(\[[^]]*\][[:space:]]\{1,\}\)\{0,1\}\([^[:space:]]*debian[^[:space:]]*\).*/\2/p' \
            /etc/apt/sources.list | grep -v security || true
    fi
    echo http://deb.debian.org/debian
    echo "$snapshot"
}

# apt's own downloader: on every Debian machine, and it follows apt's proxy settings.
download() {
    /usr/lib/apt/apt-helper -o APT::Sandbox::User="$(id -un)" download-file "$1" "$2" \
        >/dev/null 2>"$dir/.part/error"
}

fetch_all() {
    mkdir -p "$dir/.part"
    trap 'rm -rf "$dir/.part"' EXIT
    pinned | while read -r path sha; do
        name=${path##*/}
        if [ -f "$dir/$name" ]; then
            check_file "$path" "$sha"
            continue
        fi
        got=no
        for mirror in $(mirrors | awk '!seen[$0]++'); do
            rm -f "$dir/.part/$name"
            if download "${mirror%/}/$path" "$dir/.part/$name"; then
                got=yes
                break
            fi
        done
        [ "$got" = yes ] || { cat "$dir/.part/error" >&2; fail "no mirror had $path"; }
        have=$(sha256sum <"$dir/.part/$name")
        have=${have%% *}
        if [ "$have" != "$sha" ]; then
            rm -f "$dir/.part/$name"
            fail "$path as downloaded from $mirror has SHA-256 $have, but $pins pins $sha;
it was not kept"
        fi
        mv "$dir/.part/$name" "$dir/$name"
        echo "fetched $name (SHA-256 $sha)"
    done
}

case ${1:-} in
--check)
    dir=${2:?usage: $me --check DIR}
    check_all
    ;;
--unpack)
    [ $# -eq 4 ] || fail "usage: $me --unpack DIR FILE DEST"
    dir=$2 file=$3 dest=$4
    pinned | grep -q "/$file " || fail "$file is not pinned in $pins"
    check_all "${file%%_*}"
    rm -rf "$dest"
    mkdir -p "$(dirname "$dest")"
    log=$dest.log
    case $file in
    # dpkg-source checks the tarballs against the .dsc as well, and applies Debian's patches.
    *.dsc) dpkg-source -x "$dir/$file" "$dest" >"$log" 2>&1 || { cat "$log" >&2; fail "dpkg-source failed"; } ;;
    *.deb) dpkg-deb -x "$dir/$file" "$dest" >"$log" 2>&1 || { cat "$log" >&2; fail "dpkg-deb failed"; } ;;
    *) fail "$file is neither a .dsc nor a .deb" ;;
    esac
    rm -f "$log"
    ;;
-*)
    fail "usage: $me [DIR] | --check DIR | --unpack DIR FILE DEST"
    ;;
*)
    dir=${1:-$top/build-sources}
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    fetch_all
    check_all
    echo "all pinned files in $dir"
    ;;
esac

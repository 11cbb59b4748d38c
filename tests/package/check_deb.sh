#!/bin/sh
# check_deb.sh --extract|--install DEBDIR VERSION SOURCE - checks the three Debian packages
# that cpack built in DEBDIR: lintian, their control fields, then the programs, library
# and development files, unpacked into a scratch root (--extract) or installed for real
# with apt-get (--install). VERSION is the project's, as CMake read it.
set -eu
mode=$1 debdir=$2 version=$3 source=$4
. "$source/scripts/service.sh"
. "$source/tests/package/consumers.sh"

arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
debdir=$(cd "$debdir" && pwd)
packages="libqel-zmq1 libqel-zmq-dev qel-lua-tools"
debs=
for package in $packages; do
    deb=$debdir/${package}_${version}_$arch.deb
    [ -f "$deb" ] || fail "$deb was not built"
    debs="$debs $deb"
done

work=$(mktemp -d)
installed_here=no
cleanup() {
    stop_service >/dev/null 2>&1 || true
    if [ "$installed_here" = yes ]; then
        # shellcheck disable=SC2086 # a list of package names
        $sudo apt-get purge -y -q $packages >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' INT TERM

# No error and no warning from lintian; the overrides the packages ship carry reasons.
# shellcheck disable=SC2086 # a list of files
lintian --fail-on error,warning $debs >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log"; fail "lintian found errors or warnings"; }

# Control fields: versions, and what each package needs.
field() { dpkg-deb -f "$debdir/${1}_${version}_$arch.deb" "$2"; }
for package in $packages; do
    [ "$(field "$package" Version)" = "$version" ] || fail "$package is not version $version"
done
needs() {
    case ", $(field "$1" Depends)," in
    *", $2 "* | *", $2,"*) ;;
    *) fail "$1 does not depend on $2: $(field "$1" Depends)" ;;
    esac
}
needs libqel-zmq1 libzmq5
needs libqel-zmq-dev libqel-zmq1
needs qel-lua-tools libqel-zmq1
# Lua is linked into the service, so no Lua package is needed.
case ", $(field qel-lua-tools Depends)," in
*liblua*) fail "qel-lua-tools depends on a Lua package: $(field qel-lua-tools Depends)" ;;
esac

case $mode in
--extract)
    for deb in $debs; do dpkg-deb -x "$deb" "$work/root"; done
    prefix=$work/root/usr
    ;;
--install)
    sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    if ! dpkg-query -W -f='${Status}' libqel-zmq1 2>/dev/null | grep -q "install ok installed"; then
        installed_here=yes
    fi
    # apt-get resolves the Depends lines from Debian's archive, as a user's install would.
    # shellcheck disable=SC2086 # a list of files
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --reinstall \
        --allow-downgrades $debs >"$work/apt.log" 2>&1 ||
        { cat "$work/apt.log"; fail "apt-get could not install the packages"; }
    prefix=/usr
    # The dynamic loader finds the library without help once the trigger has run.
    ldconfig -p | grep -q "libqel_zmq.so.${version%%.*} " || fail "ldconfig does not know libqel_zmq"
    ;;
*)
    echo "usage: $0 --extract|--install DEBDIR VERSION SOURCE" >&2
    exit 2
    ;;
esac

# Debian's programs and libraries carry no search path of their own.
for file in "$prefix/bin/qel-lua" "$prefix/bin/qel-lua-service" \
    "$prefix/lib/$multiarch/libqel_zmq.so.$version"; do
    ! readelf -d "$file" | grep -q -E 'RPATH|RUNPATH' || fail "$file carries a search path"
done
# Every package has its DEP-5 copyright; the tools' also holds Lua's notice.
for package in $packages; do
    head -n 1 "$prefix/share/doc/$package/copyright" |
        grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ||
        fail "$package has no machine-readable copyright"
done
grep -q "Lua.org, PUC-Rio" "$prefix/share/doc/qel-lua-tools/copyright" ||
    fail "qel-lua-tools' copyright lacks Lua's notice"
# The manual pages read as manual pages, and the unit passes systemd's own check (its
# manual page is not installed system-wide here, so that reference is not followed).
for page in man1/qel-lua.1.gz man8/qel-lua-service.8.gz; do
    lexgrog "$prefix/share/man/$page" >/dev/null || fail "$page is not a readable manual page"
done
unit=$prefix/lib/systemd/system/qel-lua-service.service
[ -f "$unit" ] || fail "the systemd unit is not packaged"
sed "s|^ExecStart=/usr/bin/|ExecStart=$prefix/bin/|" "$unit" >"$work/qel-lua-service.service"
systemd-analyze verify --man=no "$work/qel-lua-service.service" >"$work/unit.log" 2>&1 ||
    { cat "$work/unit.log"; fail "systemd-analyze rejects the unit"; }

start_service "$prefix/bin/qel-lua-service" "$work"
check_consumers "$prefix" "$prefix/lib/$multiarch" "$source" "$service_port" "$work" "$version"

if [ "$mode" = --install ]; then
    # Installed system-wide: qel-lua on PATH, and the Python binding's ordinary
    # library search, each with no path given.
    [ "$(command -v qel-lua)" = /usr/bin/qel-lua ] || fail "qel-lua on PATH is $(command -v qel-lua)"
    answer=$(env -u LD_LIBRARY_PATH qel-lua -p "$service_port" -e 'return "installed", 6*7')
    [ "$answer" = "$(printf 'installed\t42')" ] || fail "qel-lua on PATH answered '$answer'"
    answer=$(env -u QEL_ZMQ_LIBRARY -u LD_LIBRARY_PATH PYTHONPATH="$source/bindings/python" /usr/bin/python3 -c '
import sys, qel_zmq
with qel_zmq.Connection("127.0.0.1", int(sys.argv[1])) as connection:
    print(connection.execute("return 6*7"))' "$service_port")
    [ "$answer" = 42 ] || fail "the Python binding answered '$answer'"
fi
stop_service || fail "the packaged service did not stop cleanly"

if [ "$installed_here" = yes ]; then
    # Removal runs the trigger again and leaves no library behind.
    # shellcheck disable=SC2086 # a list of package names
    DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -q $packages >/dev/null
    installed_here=no
    ! ldconfig -p | grep -q libqel_zmq || fail "libqel_zmq is still known after removal"
    [ ! -e "/usr/lib/$multiarch/libqel_zmq.so.$version" ] || fail "the library outlived removal"
fi
echo "Debian packages ok ($mode): $packages $version"

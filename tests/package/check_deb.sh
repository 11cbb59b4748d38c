#!/bin/sh
# check_deb.sh --extract|--install SOURCE [DEB] - checks the Debian package `make deb`
# built: its control fields, then its programs, library and development files, either
# unpacked into a scratch root (--extract) or installed for real with apt-get (--install).
# Without DEB the newest qel-zmq_*.deb in $QEL_ZMQ_DEB_DIR is used; exit 77 = not built.
set -eu
mode=$1 source=$2 deb=${3:-}
. "$source/scripts/service.sh"
. "$source/tests/package/consumers.sh"

if [ -z "$deb" ]; then
    if [ -z "${QEL_ZMQ_DEB_DIR:-}" ]; then
        echo "QEL_ZMQ_DEB_DIR is not set; \`make deb\` builds the package"
        exit 77
    fi
    # shellcheck disable=SC2012 # names are ours: qel-zmq_VERSION_ARCH.deb
    deb=$(ls -t "$QEL_ZMQ_DEB_DIR"/qel-zmq_*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || fail "no qel-zmq_*.deb in $QEL_ZMQ_DEB_DIR"
fi
deb=$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")

work=$(mktemp -d)
installed_here=no
cleanup() {
    stop_service >/dev/null 2>&1 || true
    if [ "$installed_here" = yes ]; then
        $sudo apt-get purge -y -q qel-zmq >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' INT TERM

# Control fields: name, the header's version, and the runtime libraries it needs.
version=$(header_version "$source/include/qel_zmq.h")
[ "$(dpkg-deb -f "$deb" Package)" = qel-zmq ] || fail "package name is not qel-zmq"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libzmq5 liblua5.4-0; do
    case ", $depends," in
    *", $needed "* | *", $needed,"*) ;;
    *) fail "Depends lacks $needed: $depends" ;;
    esac
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

case $mode in
--extract)
    dpkg-deb -x "$deb" "$work/root"
    prefix=$work/root/usr
    ;;
--install)
    sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    if ! dpkg-query -W -f='${Status}' qel-zmq 2>/dev/null | grep -q "install ok installed"; then
        installed_here=yes
    fi
    # apt-get resolves the Depends line from Debian's archive, as a user's install would.
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --reinstall \
        --allow-downgrades "$deb" >"$work/apt.log" 2>&1 ||
        { cat "$work/apt.log"; fail "apt-get could not install $deb"; }
    prefix=/usr
    # The dynamic loader finds the library without help once ldconfig has run.
    ldconfig -p | grep -q "libqel_zmq.so.${version%%.*} " || fail "ldconfig does not know libqel_zmq"
    ;;
*)
    echo "usage: $0 --extract|--install SOURCE [DEB]" >&2
    exit 2
    ;;
esac

# Debian's programs and libraries carry no search path of their own, least of all
# one into the tree they were built in.
for file in "$prefix/bin/qel-lua" "$prefix/bin/qel-lua-service" "$prefix/lib/$multiarch/libqel_zmq.so"; do
    ! readelf -d "$file" | grep -q -E 'RPATH|RUNPATH' || fail "$file carries a search path"
done
# The service holds Lua's pattern matcher: Lua's notice must ship with it.
grep -q "Lua.org, PUC-Rio" "$prefix/share/doc/qel-zmq/copyright" ||
    fail "share/doc/qel-zmq/copyright lacks Lua's notice"
start_service "$prefix/bin/qel-lua-service" "$work"
check_consumers "$prefix" "$prefix/lib/$multiarch" "$source" "$service_port" "$work"

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
    # Removal runs ldconfig again and leaves no library behind.
    DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -q qel-zmq >/dev/null
    installed_here=no
    ! ldconfig -p | grep -q libqel_zmq || fail "libqel_zmq is still known after removal"
    [ ! -e "/usr/lib/$multiarch/libqel_zmq.so.$version" ] || fail "the library outlived removal"
fi
echo "Debian package ok ($mode): $(basename "$deb")"

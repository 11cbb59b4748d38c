#!/bin/sh
# check_deb.sh --extract|--install DEBDIR VERSION SOURCE - checks the four Debian packages
# that cpack built in DEBDIR: lintian, their control fields, then the programs, library
# and development files, unpacked into a scratch root (--extract) or installed for real
# with apt-get (--install; then enabled, imported and purged, which must leave no file
# behind). VERSION is the project's, as CMake read it.
set -eu
mode=$1 debdir=$2 version=$3 source=$4
. "$source/scripts/service.sh"
. "$source/tests/package/consumers.sh"

arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
debdir=$(cd "$debdir" && pwd)
packages="libqel-zmq1 libqel-zmq-dev qel-lua-tools python3-qel-zmq"
# The Python binding is the same on every architecture.
deb_of() {
    case $1 in
    python3-*) echo "$debdir/${1}_${version}_all.deb" ;;
    *) echo "$debdir/${1}_${version}_$arch.deb" ;;
    esac
}
debs=
for package in $packages; do
    deb=$(deb_of "$package")
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
field() { dpkg-deb -f "$(deb_of "$1")" "$2"; }
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
needs qel-lua-tools libseccomp2
needs qel-lua-tools libmicrohttpd12
needs python3-qel-zmq libqel-zmq1
needs python3-qel-zmq python3:any
# Lua is linked into the service, so no Lua package is needed.
case ", $(field qel-lua-tools Depends)," in
*liblua*) fail "qel-lua-tools depends on a Lua package: $(field qel-lua-tools Depends)" ;;
esac

case $mode in
--extract)
    for deb in $debs; do dpkg-deb -x "$deb" "$work/root"; done
    prefix=$work/root/usr
    # The .pc file names /usr, as installed; pkg-config reads it as a staged root's.
    export PKG_CONFIG_SYSROOT_DIR="$work/root"
    ;;
--install)
    sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    if ! dpkg-query -W -f='${Status}' libqel-zmq1 2>/dev/null | grep -q "install ok installed"; then
        installed_here=yes
        # What is there before, to find what a purge leaves behind.
        leftovers() {
            find /usr /etc /var/lib/systemd/deb-systemd-helper-enabled 2>/dev/null | LC_ALL=C sort
        }
        leftovers >"$work/before"
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
# The service loads libmicrohttpd only for --metrics, so its workers never map it: no
# NEEDED entry names it (qel-lua-tools still depends on its package, above).
needed=$(readelf -d "$prefix/bin/qel-lua-service") || fail "readelf cannot read qel-lua-service"
case $needed in
*"NEEDED"*) ;;
*) fail "readelf lists no NEEDED entry of qel-lua-service" ;;
esac
case $needed in
*libmicrohttpd*) fail "qel-lua-service links libmicrohttpd: $needed" ;;
esac
# Every package has its DEP-5 copyright; the tools' also holds the notices of Lua and of
# lua-cjson (its own, and Lucent's for dtoa.c and g_fmt.c).
for package in $packages; do
    head -n 1 "$prefix/share/doc/$package/copyright" |
        grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ||
        fail "$package has no machine-readable copyright"
done
for notice in "Lua.org, PUC-Rio" "Mark Pulford" "Lucent Technologies"; do
    grep -q "$notice" "$prefix/share/doc/qel-lua-tools/copyright" ||
        fail "qel-lua-tools' copyright lacks the notice of $notice"
done
# The manual pages read as manual pages, and the unit passes systemd's own check (its
# manual page is not installed system-wide here, so that reference is not followed).
# The C API's pages each name qel_zmq in their NAME line, for `man -k qel_zmq`.
for page in man1/qel-lua.1.gz man8/qel-lua-service.8.gz; do
    lexgrog "$prefix/share/man/$page" >/dev/null || fail "$page is not a readable manual page"
done
for name in qel_zmq createConnectionHandle freeHandle connectToQelLuaService \
    executeLuaScriptQel freeResult; do
    page=$prefix/share/man/man3/$name.3.gz
    lexgrog "$page" | grep -q -F "\"$name - " || fail "$name(3) has no NAME line"
    lexgrog "$page" | grep -q qel_zmq || fail "$name(3)'s NAME line does not name qel_zmq"
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man cannot show $name(3)"
    [ -z "$warnings" ] || fail "$name(3): $warnings"
done
unit=$prefix/lib/systemd/system/qel-lua-service.service
[ -f "$unit" ] || fail "the systemd unit is not packaged"
# The service's manual names the unit where the package puts it.
named=$(zcat "$prefix/share/man/man8/qel-lua-service.8.gz" | sed -n 's|^\.I \(/.*systemd.*\.service\)$|\1|p')
dpkg-deb -c "$(deb_of qel-lua-tools)" | grep -E " \.$named\$" >/dev/null ||
    fail "qel-lua-service(8) names the unit '$named', which qel-lua-tools does not install"
# Each program's -h is its --help, and both its manual page and its page in docs/ say so.
for entry in qel-lua:man1/qel-lua.1.gz:docs/cli.md qel-lua-service:man8/qel-lua-service.8.gz:docs/service.md; do
    program=${entry%%:*} page=${entry#*:} doc=${entry##*:}
    page=${page%%:*}
    short=$(LD_LIBRARY_PATH="$prefix/lib/$multiarch" "$prefix/bin/$program" -h) ||
        fail "$program -h failed"
    [ "$short" = "$(LD_LIBRARY_PATH="$prefix/lib/$multiarch" "$prefix/bin/$program" --help)" ] ||
        fail "$program -h does not print what --help prints"
    zcat "$prefix/share/man/$page" | grep -q -F '.BR \-h ", " \-\-help' ||
        fail "$page does not document -h"
    grep -q -F '`-h`, `--help`' "$source/$doc" || fail "$doc does not document -h"
done
# The unit's options file is installed as a conffile, so an administrator's edits survive.
dpkg-deb --ctrl-tarfile "$(deb_of qel-lua-tools)" | tar -xO ./conffiles |
    grep -qx /etc/default/qel-lua-service || fail "/etc/default/qel-lua-service is not a conffile"
sed "s|^ExecStart=/usr/bin/|ExecStart=$prefix/bin/|" "$unit" >"$work/qel-lua-service.service"
systemd-analyze verify --man=no "$work/qel-lua-service.service" >"$work/unit.log" 2>&1 ||
    { cat "$work/unit.log"; fail "systemd-analyze rejects the unit"; }

start_service "$prefix/bin/qel-lua-service" "$work"
check_consumers "$prefix" "$prefix/lib/$multiarch" "$source" "$service_port" "$work" "$version"
# Installed under /usr, the .pc file's flags name no system folder.
flags=$(env -u PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_PATH="$prefix/lib/$multiarch/pkgconfig" \
    pkg-config --cflags --libs qel_zmq | xargs)
[ "$flags" = -lqel_zmq ] || fail "pkg-config qel_zmq gives '$flags'"

# python3-qel-zmq's module, typed, finds the library through the system's search: with
# no variable at all once installed; unpacked, only the two search paths point into the
# scratch root. QEL_ZMQ_LIBRARY is never set.
site=$prefix/lib/python3/dist-packages
[ -f "$site/qel_zmq/py.typed" ] || fail "python3-qel-zmq lacks py.typed"
for module in "$source"/bindings/python/qel_zmq/*.py; do
    cmp -s "$module" "$site/qel_zmq/${module##*/}" ||
        fail "python3-qel-zmq lacks qel_zmq/${module##*/} or holds another one"
done
if [ "$mode" = --install ]; then
    set -- env -u QEL_ZMQ_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH
else
    set -- env -u QEL_ZMQ_LIBRARY PYTHONPATH="$site" LD_LIBRARY_PATH="$prefix/lib/$multiarch"
fi
answer=$("$@" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c '
import sys, importlib.metadata, qel_zmq
print(qel_zmq.__file__, importlib.metadata.version("qel-zmq"))
with qel_zmq.Connection("127.0.0.1", int(sys.argv[1])) as connection:
    print(connection.execute("return 6*7"))' "$service_port") ||
    fail "python3-qel-zmq's module failed: $answer"
[ "$answer" = "$(printf '%s %s\n42' "$site/qel_zmq/__init__.py" "$version")" ] ||
    fail "python3-qel-zmq's module answered '$answer'"

if [ "$mode" = --install ]; then
    # Installed system-wide: qel-lua on PATH, with no path given.
    [ "$(command -v qel-lua)" = /usr/bin/qel-lua ] || fail "qel-lua on PATH is $(command -v qel-lua)"
    answer=$(env -u LD_LIBRARY_PATH qel-lua -p "$service_port" -e 'return "installed", 6*7')
    [ "$answer" = "$(printf 'installed\t42')" ] || fail "qel-lua on PATH answered '$answer'"
    # man finds the C API by name.
    [ "$(man -w 3 executeLuaScriptQel)" = /usr/share/man/man3/executeLuaScriptQel.3.gz ] ||
        fail "man 3 executeLuaScriptQel finds '$(man -w 3 executeLuaScriptQel 2>&1)'"
    [ "$(apropos -s 3 qel_zmq | wc -l)" -eq 6 ] || fail "man -k qel_zmq lists: $(apropos -s 3 qel_zmq)"
fi
stop_service || fail "the packaged service did not stop cleanly"

if [ "$installed_here" = yes ]; then
    # An administrator enables the unit and imports the module as root (byte-code lands
    # in /usr); purging must still leave no file that no package owns.
    $sudo systemctl enable qel-lua-service >/dev/null 2>&1 || fail "systemctl enable failed"
    [ -L /etc/systemd/system/multi-user.target.wants/qel-lua-service.service ] ||
        fail "systemctl enable made no link"
    $sudo env -u PYTHONDONTWRITEBYTECODE /usr/bin/python3 -c 'import qel_zmq' ||
        fail "python3 cannot import qel_zmq"
    ls /usr/lib/python3/dist-packages/qel_zmq/__pycache__/*.pyc >/dev/null 2>&1 ||
        fail "importing qel_zmq left no byte-code"
    # Removal runs the trigger again and leaves no library behind.
    # shellcheck disable=SC2086 # a list of package names
    DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -q $packages >"$work/purge.log" 2>&1 ||
        { cat "$work/purge.log"; fail "apt-get could not purge the packages"; }
    installed_here=no
    ! grep -i "warning" "$work/purge.log" || fail "dpkg warned while purging"
    ! ldconfig -p | grep -q libqel_zmq || fail "libqel_zmq is still known after removal"
    [ ! -e "/usr/lib/$multiarch/libqel_zmq.so.$version" ] || fail "the library outlived removal"
    # What the packages' dependencies brought in is owned by them; anything else is left.
    leftovers | LC_ALL=C comm -13 "$work/before" - | while IFS= read -r path; do
        dpkg -S "$path" >/dev/null 2>&1 || echo "$path"
    done >"$work/left"
    [ ! -s "$work/left" ] || { cat "$work/left"; fail "purging left the files above"; }
fi
echo "Debian packages ok ($mode): $packages $version"

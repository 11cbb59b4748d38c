# consumers.sh - sourced by the package checks: builds a host against an installed
# QEL_ZMQ with CMake's find_package and with pkg-config, and runs both against a service.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# check_consumers PREFIX LIBDIR SOURCE PORT WORK VERSION - PREFIX is where the package
# was installed (/usr for the system), LIBDIR the directory holding libqel_zmq.so, PORT
# where the installed qel-lua-service listens, VERSION the project's (from CMake).
check_consumers() {
    _prefix=$1 _libdir=$2 _source=$3 _port=$4 _work=$5 _version=$6
    _answer=$(LD_LIBRARY_PATH="$_libdir" "$_prefix/bin/qel-lua" -p "$_port" -e 'return 6*7')
    [ "$_answer" = 42 ] || fail "the installed qel-lua answered '$_answer'"

    # The shared library: versioned file, SONAME carrying the major version.
    _major=${_version%%.*}
    [ -f "$_libdir/libqel_zmq.so.$_version" ] || fail "libqel_zmq.so.$_version not installed"
    readelf -d "$_libdir/libqel_zmq.so" | grep -q "SONAME.*\[libqel_zmq.so.$_major\]" ||
        fail "SONAME is not libqel_zmq.so.$_major"

    # CMake: find_package(QelZmq) from the prefix, and from nowhere else.
    cmake -S "$_source/tests/package" -B "$_work/cmake-consumer" \
        -DCMAKE_PREFIX_PATH="$_prefix" -DQEL_ZMQ_EXPECTED_VERSION="$_version" \
        >"$_work/cmake.log" 2>&1 ||
        { cat "$_work/cmake.log"; fail "find_package(QelZmq) failed"; }
    grep -q -F -- "QelZmq_DIR=$_libdir/cmake/QelZmq" "$_work/cmake.log" ||
        fail "find_package found another QelZmq: $(grep QelZmq_DIR= "$_work/cmake.log")"
    cmake --build "$_work/cmake-consumer" >"$_work/build.log" 2>&1 ||
        { cat "$_work/build.log"; fail "the find_package consumer did not build"; }
    _answer=$(LD_LIBRARY_PATH="$_libdir" "$_work/cmake-consumer/consumer" 127.0.0.1 "$_port" \
        'return "cmake", 6*7')
    [ "$_answer" = "$(printf 'cmake\t42')" ] || fail "find_package consumer answered '$_answer'"

    # pkg-config: the prefix's own .pc, its version, no requirement of libzmq's (only the
    # shared library ships, so consumers need no libzmq3-dev), and a build from its flags
    # (pkg-config escapes spaces for a shell, hence the eval).
    [ "$(pc "$_libdir" --variable=pcfiledir qel_zmq | sed 's/\\ / /g')" = "$_libdir/pkgconfig" ] ||
        fail "pkg-config found another qel_zmq.pc"
    [ "$(pc "$_libdir" --modversion qel_zmq)" = "$_version" ] || fail "qel_zmq.pc version differs"
    ! grep -E '^Requires' "$_libdir/pkgconfig/qel_zmq.pc" ||
        fail "qel_zmq.pc requires other modules"
    _flags=$(pc "$_libdir" --cflags --libs qel_zmq) || fail "pkg-config gave no flags"
    eval "set -- $_flags"
    cc -o "$_work/pc-consumer" "$_source/examples/run_script.c" "$@" ||
        fail "the pkg-config consumer did not build"
    _answer=$(LD_LIBRARY_PATH="$_libdir" "$_work/pc-consumer" 127.0.0.1 "$_port" \
        'return "pkg-config", 6*7')
    [ "$_answer" = "$(printf 'pkg-config\t42')" ] || fail "pkg-config consumer answered '$_answer'"
}

# pc LIBDIR ARG... - pkg-config looking first in LIBDIR/pkgconfig.
pc() {
    _pcdir=$1/pkgconfig
    shift
    PKG_CONFIG_PATH=$_pcdir pkg-config "$@"
}

#!/bin/sh
# check_release.sh WHAT ZIP ... - checks the Windows release, unpacked into a scratch folder:
#   contents ZIP                       files, checksum, notices, no Lua and no build path
#   msvc ZIP WINE_RUN SERVICE SOURCE   an MSVC-ABI host linked by lld-link, run under wine
#   cmake ZIP WINE_RUN SERVICE SOURCE  a MinGW CMake project using find_package(QelZmq)
#   reproducible ZIP SOURCE DEPS       the DLL built again from a copy of the sources
#                                      elsewhere gives the same bytes
set -eu
what=$1 zip=$2
shift 2
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
. "$(dirname "$0")/../../scripts/service.sh"
work=$(mktemp -d)
cleanup() {
    stop_service || true
    rm -rf "$work"
}
trap cleanup EXIT
(cd "$(dirname "$zip")" && sha256sum -c --quiet "$(basename "$zip").sha256") ||
    fail "the SHA-256 beside the archive does not match"
(cd "$work" && unzip -q "$zip")
release=$work/$(basename "$zip" .zip)
[ -d "$release" ] || fail "the archive has no top folder $(basename "$zip" .zip)"

case $what in
contents)
    for file in bin/QEL_ZMQ.dll lib/QEL_ZMQ.lib lib/QEL_ZMQ.def include/qel_zmq.h \
        lib/cmake/QelZmq/QelZmqConfig.cmake lib/cmake/QelZmq/QelZmqConfigVersion.cmake \
        LICENSE THIRD-PARTY-NOTICES.txt README-Windows.md examples/run_script.c \
        examples/dll_host.c examples/python/qel_zmq/py.typed; do
        [ -f "$release/$file" ] || fail "$file is missing from the release"
    done
    # Every source file of the two bindings, as the checkout holds them.
    top=$(cd "$(dirname "$0")/../.." && pwd)
    for file in "$top"/bindings/dotnet/*.cs; do
        cmp -s "$file" "$release/examples/dotnet/${file##*/}" ||
            fail "examples/dotnet/${file##*/} is missing from the release or differs"
    done
    for file in "$top"/bindings/python/qel_zmq/*.py; do
        cmp -s "$file" "$release/examples/python/qel_zmq/${file##*/}" ||
            fail "examples/python/qel_zmq/${file##*/} is missing from the release or differs"
    done
    grep -q "MIT License" "$release/LICENSE" || fail "LICENSE is not the MIT licence"
    notices=$release/THIRD-PARTY-NOTICES.txt
    for needed in "As a special exception, copyright holders give you permission to link" \
        "GNU LESSER GENERAL PUBLIC LICENSE" "cppzmq" "winpthreads" \
        "GCC RUNTIME LIBRARY EXCEPTION"; do
        grep -q -F "$needed" "$notices" || fail "THIRD-PARTY-NOTICES.txt lacks '$needed'"
    done
    # Every file of the release that README-Windows names is in the release.
    for named in $(grep -o -E '`(bin|lib|include|examples)/[A-Za-z0-9_./-]+`' "$release/README-Windows.md" |
        tr -d '`' | sort -u); do
        [ -e "$release/$named" ] || fail "README-Windows.md names $named, which the release lacks"
    done
    # The minimum Windows version it states is the one the DLL's PE header carries.
    os=$(x86_64-w64-mingw32-objdump -p "$release/bin/QEL_ZMQ.dll" |
        awk '/^MajorOSystemVersion/ {major=$2} /^MinorOSystemVersion/ {minor=$2} END {print major "." minor}')
    grep -q -F "(Windows $os)" "$release/README-Windows.md" ||
        fail "the DLL needs Windows $os, which README-Windows.md does not state"
    # The notices hold each licence text they point to, not a path on a Debian machine.
    for licence in $(grep -o -E '/usr/share/common-licenses/[A-Za-z0-9.+_-]*[A-Za-z0-9+_-]' "$notices" | sort -u); do
        grep -q -F "Full text of ${licence##*/} ($licence)" "$notices" ||
            fail "THIRD-PARTY-NOTICES.txt refers to $licence without its text"
    done
    # The DLL holds no Lua (so no Lua notice is owed) and no path of the machine it was
    # built on.
    ! strings "$release/bin/QEL_ZMQ.dll" | grep -q "Lua.org" || fail "the DLL holds Lua"
    ! strings "$release/bin/QEL_ZMQ.dll" | grep -q -E "/work/|/home/|/tmp/|build-windows" ||
        fail "the DLL holds a build path: $(strings "$release/bin/QEL_ZMQ.dll" | grep -E "/work/|/home/|/tmp/|build-windows" | head -n 3)"
    echo "release contents ok"
    ;;
msvc)
    wine_run=$1 service=$2 source=$3
    # kernel32's import library, made the same way as QEL_ZMQ.lib: no Windows SDK here.
    printf 'LIBRARY kernel32.dll\nEXPORTS\nGetStdHandle\nWriteFile\nGetCommandLineA\nExitProcess\n' \
        >"$work/kernel32.def"
    llvm-dlltool -m i386:x86-64 -d "$work/kernel32.def" -l "$work/kernel32.lib"
    clang-14 --target=x86_64-pc-windows-msvc -O2 -c -I "$release/include" \
        "$source/tests/windows/msvc_host.c" -o "$work/msvc_host.obj"
    lld-link-14 /nologo /entry:entry /subsystem:console /nodefaultlib \
        "/out:$work/msvc_host.exe" "$work/msvc_host.obj" "$release/lib/QEL_ZMQ.lib" \
        "$work/kernel32.lib" || fail "lld-link could not link against lib/QEL_ZMQ.lib"
    start_service "$service" "$work" || fail "the service did not start"
    answer=$(WINEPATH="Z:$release/bin" timeout 120 "$wine_run" "$work/msvc_host.exe" "$service_port" |
        sed 's/\r$//')
    [ "$answer" = "$(printf 'msvc\t42')" ] || fail "the MSVC-ABI host answered '$answer'"
    echo "MSVC-ABI host ok: $answer"
    ;;
cmake)
    wine_run=$1 service=$2 source=$3
    # The two ways README-Windows gives for a cross build: the prefix, which the
    # project's toolchain file makes a root folder, and the package folder by name, which
    # any toolchain file accepts (configured only).
    for way in "-DCMAKE_PREFIX_PATH=$release" "-DQelZmq_DIR=$release/lib/cmake/QelZmq"; do
        rm -rf "$work/consumer"
        cmake -S "$source/tests/windows/consumer" -B "$work/consumer" \
            -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchain-mingw64.cmake" "$way" \
            >"$work/cmake.log" 2>&1 ||
            { cat "$work/cmake.log"; fail "find_package(QelZmq) failed on the release with $way"; }
        grep -q "QelZmq import library $release/lib/QEL_ZMQ.lib, DLL $release/bin/QEL_ZMQ.dll" \
            "$work/cmake.log" || fail "QelZmq::qel_zmq does not point into the release ($way)"
    done
    rm -rf "$work/consumer"
    cmake -S "$source/tests/windows/consumer" -B "$work/consumer" \
        -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_PREFIX_PATH="$release" >"$work/cmake.log" 2>&1 ||
        { cat "$work/cmake.log"; fail "find_package(QelZmq) failed on the release"; }
    cmake --build "$work/consumer" >"$work/build.log" 2>&1 ||
        { cat "$work/build.log"; fail "the consumer did not build"; }
    start_service "$service" "$work" || fail "the service did not start"
    answer=$(WINEPATH="Z:$release/bin" timeout 120 "$wine_run" "$work/consumer/consumer.exe" \
        127.0.0.1 "$service_port" 'return "cmake", 6*7' | sed 's/\r$//')
    [ "$answer" = "$(printf 'cmake\t42')" ] || fail "the find_package consumer answered '$answer'"
    echo "CMake consumer ok: $answer"
    ;;
reproducible)
    source=$1 deps=$2
    # A copy of the sources in a folder of another name and depth, built against the
    # same dependencies: only the project's own compile and link could differ.
    copy=$work/another/place/qel-zmq
    mkdir -p "$copy"
    (cd "$source" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 tar --ignore-failed-read -cf - 2>/dev/null) | (cd "$copy" && tar xf -)
    cmake -S "$copy" -B "$work/second" -DCMAKE_TOOLCHAIN_FILE="$copy/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DQEL_ZMQ_WIN_DEPS_FROM="$deps" -DQEL_ZMQ_BUILD_TESTS=OFF \
        -DQEL_ZMQ_BUILD_SERVICE=OFF -DQEL_ZMQ_BUILD_PROGRAMS=OFF -DQEL_ZMQ_BUILD_EXAMPLES=OFF \
        -DQEL_ZMQ_BUILD_BENCH=OFF >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "configure"; }
    cmake --build "$work/second" --target qel_zmq_win_release >"$work/build.log" 2>&1 ||
        { cat "$work/build.log"; fail "the second build failed"; }
    first=$(sha256sum <"$release/bin/QEL_ZMQ.dll")
    second=$(sha256sum <"$work/second/QEL_ZMQ-win64/QEL_ZMQ.dll")
    [ "$first" = "$second" ] || fail "two builds from two folders differ: $first vs $second"
    echo "reproducible: ${first%% *}  QEL_ZMQ.dll"
    # So are the three artifacts made of it; each .sha256 names the same digest.
    version=$(basename "$zip" -win64.zip)
    version=${version#QEL_ZMQ-}
    for artifact in "$(basename "$zip")" "QelZmq.$version.nupkg" "qel_zmq-$version-py3-none-win_amd64.whl"; do
        first=$(cat "$(dirname "$zip")/$artifact.sha256")
        second=$(cat "$work/second/$artifact.sha256") || fail "the second build made no $artifact"
        [ "$first" = "$second" ] || fail "$artifact differs between two builds from two folders"
        echo "reproducible: $first"
    done
    ;;
*)
    echo "usage: $0 contents|msvc|cmake|reproducible ZIP ..." >&2
    exit 2
    ;;
esac

#!/bin/sh
# nuget.sh NUPKG LIBRARY SERVICE - installs the NuGet package NUPKG from a local folder
# with Debian's nuget, checks its layout (a package with runtimes/ must also hold the
# Windows DLL and the notices) and its metadata, compiles NuGetConsumer.cs with mcs against
# the installed net45 assembly and runs it under mono with each of the package's assemblies
# against LIBRARY and a qel-lua-service on a free port.
# Exit status 77 (skipped) when nuget, mcs or mono is missing.
set -eu
nupkg=$1 library=$2 service=$3
here=$(cd "$(dirname "$0")" && pwd)
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
for tool in nuget mcs mono; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool not found"; exit 77; }
done
[ -f "$nupkg" ] || fail "$nupkg does not exist"
. "$here/../../../scripts/service.sh"
work=$(mktemp -d)
trap 'stop_service || true; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

(cd "$(dirname "$nupkg")" && sha256sum -c --quiet "$(basename "$nupkg").sha256") ||
    fail "the SHA-256 beside $nupkg does not match"
name=$(basename "$nupkg" .nupkg)  # QelZmq.VERSION
version=${name#QelZmq.}
mkdir "$work/feed"
cp "$nupkg" "$work/feed/"
HOME=$work nuget install QelZmq -Version "$version" -Source "$work/feed" \
    -OutputDirectory "$work/packages" -NonInteractive >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "nuget could not install $name from a local folder"; }
installed=$work/packages/$name
targets="net45 netstandard2.0"
for file in LICENSE README.md $(for t in $targets; do echo lib/$t/QelZmq.dll lib/$t/QelZmq.xml lib/$t/QelZmq.dll.config; done); do
    [ -f "$installed/$file" ] || fail "$file is missing from the installed package"
done
nuspec=$(unzip -p "$nupkg" QelZmq.nuspec)
for element in '<license type="expression">MIT</license>' '<projectUrl>https://' \
    '<repository type="git" url="https://' '<readme>README.md</readme>' '<releaseNotes>## [' \
    '<group targetFramework=".NETStandard2.0" />'; do
    case $nuspec in *"$element"*) ;; *) fail "the nuspec lacks $element" ;; esac
done
if unzip -l "$nupkg" | grep -q ' runtimes/'; then
    [ -f "$installed/runtimes/win-x64/native/QEL_ZMQ.dll" ] || fail "the package lacks the DLL"
    [ -f "$installed/THIRD-PARTY-NOTICES.txt" ] || fail "the package lacks the notices"
    file -b "$installed/runtimes/win-x64/native/QEL_ZMQ.dll" | grep -q "PE32+ executable (DLL).*x86-64" ||
        fail "runtimes/win-x64/native/QEL_ZMQ.dll is no 64-bit Windows DLL"
fi
grep -q '<member name="M:QelZmq.QelConnection.ExecuteAsync(System.String)">' \
    "$installed/lib/net45/QelZmq.xml" || fail "the XML docs do not describe ExecuteAsync"

# Built against the installed assembly; the build copies it and its related files
# beside the program, as MSBuild does with a package reference.
mcs -nologo -warn:4 -warnaserror+ -r:"$installed/lib/net45/QelZmq.dll" \
    -out:"$work/NuGetConsumer.exe" "$here/NuGetConsumer.cs"
mkdir "$work/lib"
ln -s "$(cd "$(dirname "$library")" && pwd)/$(basename "$library")" "$work/lib/libqel_zmq.so.1"
start_service "$service" "$work" </dev/null || fail "the service did not start"
for target in $targets; do
    mkdir "$work/$target"
    cp "$work/NuGetConsumer.exe" "$installed"/lib/$target/* "$work/$target/"
    answer=$(LD_LIBRARY_PATH="$work/lib" timeout -k 10 120 mono "$work/$target/NuGetConsumer.exe" "$service_port")
    [ "$answer" = "$(printf 'nuget\t42\nasync\t42\ncall\t3')" ] || fail "the $target consumer answered '$answer'"
done
echo "NuGet package ok: $name installed from a local folder, its consumer answered with each assembly"

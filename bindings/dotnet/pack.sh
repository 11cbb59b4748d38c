#!/bin/sh
# pack.sh OUTDIR VERSION [NATIVE_DLL NOTICES] - builds QelZmq.VERSION.nupkg in OUTDIR, with
# its SHA-256 beside it: the wrapper as build.sh compiles it for net45 and netstandard2.0
# (lib/TARGET/, with its XML docs and the dllmap Mono reads on Unix), LICENSE, the binding's
# README.md and, given the Windows build's DLL and notices,
# runtimes/win-x64/native/QEL_ZMQ.dll and THIRD-PARTY-NOTICES.txt. Packed by Debian's
# nuget, then made reproducible.
set -eu
out=$1 version=$2 native=${3:-} notices=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$(dirname "$here")")
# The project publishes no address of its own; this one is under the domain that
# debian/copyright names for the maintainers.
url=https://qel-zmq.invalid/qel_zmq
command -v nuget >/dev/null 2>&1 ||
    { echo "pack.sh: nuget not found (Debian: nuget)" >&2; exit 77; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$out"
out=$(cd "$out" && pwd)
sh "$here/build.sh" "$stage/lib" "$version" || exit $?
cp "$top/LICENSE" "$stage/LICENSE"
cp "$here/README.md" "$stage/README.md"
# The release notes are the changelog's newest section.
notes=$(python3 -c '
import re, sys
from xml.sax.saxutils import escape
text = open(sys.argv[1], encoding="utf-8").read()
print(escape(re.split(r"^(?=## )", text, flags=re.M)[1].strip()))' "$top/CHANGELOG.md")

files='    <file src="lib/**" target="lib" />
    <file src="LICENSE" />
    <file src="README.md" />'
if [ -n "$native" ]; then
    mkdir -p "$stage/runtimes/win-x64/native"
    cp "$native" "$stage/runtimes/win-x64/native/QEL_ZMQ.dll"
    cp "$notices" "$stage/THIRD-PARTY-NOTICES.txt"
    files="$files
    <file src=\"runtimes/win-x64/native/QEL_ZMQ.dll\" target=\"runtimes/win-x64/native\" />
    <file src=\"THIRD-PARTY-NOTICES.txt\" />"
fi
cat >"$stage/QelZmq.nuspec" <<NUSPEC
<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2010/07/nuspec.xsd">
  <metadata>
    <id>QelZmq</id>
    <version>$version</version>
    <title>QEL_ZMQ</title>
    <authors>QEL_ZMQ developers</authors>
    <owners>QEL_ZMQ developers</owners>
    <requireLicenseAcceptance>false</requireLicenseAcceptance>
    <description>C# client of the Qel Lua script service: QelConnection sends Lua scripts over ZeroMQ through the native QEL_ZMQ library and returns each answer as a string (Execute; Call passes arguments as Lua literals; the async calls take a CancellationToken). For .NET Framework 4.5+ (net45) and .NET Standard 2.0. Holds the 64-bit Windows DLL under runtimes/win-x64/native. MIT licence (LICENSE); the DLL's third-party terms are in THIRD-PARTY-NOTICES.txt.</description>
    <copyright>Copyright (c) 2026 QEL_ZMQ developers</copyright>
    <tags>lua zeromq zmq qel native</tags>
    <projectUrl>$url</projectUrl>
    <releaseNotes>$notes</releaseNotes>
  </metadata>
  <files>
$files
  </files>
</package>
NUSPEC
rm -f "$out/QelZmq.$version.nupkg"
# nuget keeps a cache and settings under HOME: a scratch one leaves the user's alone.
HOME=$stage nuget pack "$stage/QelZmq.nuspec" -BasePath "$stage" -OutputDirectory "$out" \
    -NoPackageAnalysis -NonInteractive >"$stage/nuget.log" 2>&1 ||
    { cat "$stage/nuget.log" >&2; exit 1; }
# Debian's nuget (2.8) rejects these newer elements, and knows no netstandard2.0 (it
# would write it as "Unsupported0.0"): they go into the packed nuspec.
cat >"$stage/metadata.xml" <<METADATA
    <dependencies>
      <group targetFramework=".NETFramework4.5" />
      <group targetFramework=".NETStandard2.0" />
    </dependencies>
    <license type="expression">MIT</license>
    <repository type="git" url="$url.git" />
    <readme>README.md</readme>
METADATA
python3 "$here/reproducible.py" nupkg "$out/QelZmq.$version.nupkg" "$stage/metadata.xml"
(cd "$out" && sha256sum "QelZmq.$version.nupkg" >"QelZmq.$version.nupkg.sha256")
echo "$out/QelZmq.$version.nupkg"

#!/bin/sh
# pack.sh OUTDIR VERSION [NATIVE_DLL NOTICES] - builds QelZmq.VERSION.nupkg in OUTDIR, with
# its SHA-256 beside it: the wrapper compiled by mcs against .NET Framework 4.5's reference
# assemblies (lib/net45/, with its XML docs and the dllmap Mono reads on Unix), LICENSE
# and, given the Windows build's DLL and notices, runtimes/win-x64/native/QEL_ZMQ.dll and
# THIRD-PARTY-NOTICES.txt. Packed by Debian's nuget, then made reproducible.
set -eu
out=$1 version=$2 native=${3:-} notices=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$(dirname "$here")")
refs=/usr/lib/mono/4.5-api
for tool in mcs nuget; do
    command -v "$tool" >/dev/null 2>&1 ||
        { echo "pack.sh: $tool not found (Debian: mono-mcs, mono-devel, nuget)" >&2; exit 77; }
done
[ -f "$refs/mscorlib.dll" ] || { echo "pack.sh: $refs missing (Debian: mono-devel)" >&2; exit 77; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/lib/net45" "$out"
out=$(cd "$out" && pwd)
cat >"$stage/AssemblyInfo.cs" <<INFO
// The assembly's identity and version, for the NuGet package.
[assembly: System.Reflection.AssemblyVersion("$version.0")]
[assembly: System.Reflection.AssemblyFileVersion("$version.0")]
[assembly: System.Reflection.AssemblyInformationalVersion("$version")]
[assembly: System.Reflection.AssemblyProduct("QEL_ZMQ")]
[assembly: System.Reflection.AssemblyCompany("QEL_ZMQ developers")]
[assembly: System.Reflection.AssemblyCopyright("Copyright (c) 2026 QEL_ZMQ developers. MIT License.")]
[assembly: System.Runtime.Versioning.TargetFramework(".NETFramework,Version=v4.5", FrameworkDisplayName = ".NET Framework 4.5")]
INFO
# The 4.5 reference assemblies, not the runtime's: the wrapper may use only what .NET
# Framework 4.5 has. -doc makes a public member without XML docs an error.
mcs -nologo -target:library -warn:4 -warnaserror+ -nostdlib -r:"$refs/mscorlib.dll" \
    -r:"$refs/System.dll" -r:"$refs/System.Core.dll" -pathmap:"$top"=. \
    -doc:"$stage/lib/net45/QelZmq.xml" -out:"$stage/lib/net45/QelZmq.dll" \
    "$here/QelZmq.cs" "$stage/AssemblyInfo.cs"
python3 "$here/reproducible.py" mvid "$stage/lib/net45/QelZmq.dll"
cp "$here/QelZmq.dll.config" "$stage/lib/net45/"
cp "$top/LICENSE" "$stage/LICENSE"

files='    <file src="lib/net45/QelZmq.dll" target="lib/net45" />
    <file src="lib/net45/QelZmq.xml" target="lib/net45" />
    <file src="lib/net45/QelZmq.dll.config" target="lib/net45" />
    <file src="LICENSE" />'
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
    <description>C# client of the Qel Lua script service: QelConnection sends Lua scripts over ZeroMQ through the native QEL_ZMQ library and returns each answer as a string (Execute, ExecuteAsync). Holds the 64-bit Windows DLL under runtimes/win-x64/native. MIT licence (LICENSE); the DLL's third-party terms are in THIRD-PARTY-NOTICES.txt.</description>
    <copyright>Copyright (c) 2026 QEL_ZMQ developers</copyright>
    <tags>lua zeromq zmq qel native</tags>
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
python3 "$here/reproducible.py" nupkg "$out/QelZmq.$version.nupkg"
(cd "$out" && sha256sum "QelZmq.$version.nupkg" >"QelZmq.$version.nupkg.sha256")
echo "$out/QelZmq.$version.nupkg"

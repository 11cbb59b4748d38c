#!/bin/sh
# build.sh OUTDIR VERSION - compiles the wrapper into OUTDIR/net45 and OUTDIR/netstandard2.0,
# each QelZmq.dll with its XML docs and the dllmap Mono reads on Unix; pack.sh packs them,
# tests/run.sh tests both. Exit status 77 when a tool is missing.
set -eu
out=$1 version=$2
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$(dirname "$here")")
refs=/usr/lib/mono/4.5-api
facade=/usr/lib/mono/4.7.1-api/Facades/netstandard.dll
for tool in mcs monodis ilasm python3; do
    command -v "$tool" >/dev/null 2>&1 ||
        { echo "build.sh: $tool not found (Debian: mono-mcs, mono-devel, mono-utils)" >&2; exit 77; }
done
for file in "$refs/mscorlib.dll" "$facade"; do
    [ -f "$file" ] || { echo "build.sh: $file missing (Debian: mono-devel)" >&2; exit 77; }
done
# The wrapper's sources, one type to a file, in a fixed order: the order is part of the
# assembly's bytes, which must not depend on how a shell sorts a pattern.
sources="QelException.cs QelHandle.cs NativeMethods.cs LuaLiteral.cs QelConnection.cs
QelConnection.Async.cs NullableAttribute.cs NullableContextAttribute.cs"
# The Windows release copies every *.cs here: one missing from the list would be shipped
# but never compiled or tested.
for file in "$here"/*.cs; do
    case " $(echo $sources) " in
        *" ${file##*/} "*) ;;
        *) echo "build.sh: ${file##*/} is not in the list of sources" >&2; exit 1 ;;
    esac
done
mkdir -p "$out/net45" "$out/netstandard2.0"
info() {
    cat <<INFO
// The assembly's identity and version.
[assembly: System.Reflection.AssemblyVersion("$version.0")]
[assembly: System.Reflection.AssemblyFileVersion("$version.0")]
[assembly: System.Reflection.AssemblyInformationalVersion("$version")]
[assembly: System.Reflection.AssemblyProduct("QEL_ZMQ")]
[assembly: System.Reflection.AssemblyCompany("QEL_ZMQ developers")]
[assembly: System.Reflection.AssemblyCopyright("Copyright (c) 2026 QEL_ZMQ developers. MIT License.")]
[assembly: System.Runtime.Versioning.TargetFramework("$1", FrameworkDisplayName = "$2")]
INFO
}
# The 4.5 reference assemblies, not the runtime's: the wrapper may use only what .NET
# Framework 4.5 has. -doc makes a public member without XML docs an error.
compile() {
    dir=$3
    info "$1" "$2" >"$dir/AssemblyInfo.cs"
    # Each source a word of its own, whatever the checkout's path holds.
    set --
    for source in $sources; do
        set -- "$@" "$here/$source"
    done
    mcs -nologo -target:library -warn:4 -warnaserror+ -nostdlib -r:"$refs/mscorlib.dll" \
        -r:"$refs/System.dll" -r:"$refs/System.Core.dll" -r:"$refs/System.Xml.dll" \
        -r:"$refs/System.Runtime.Serialization.dll" -pathmap:"$top"=. \
        -doc:"$dir/QelZmq.xml" -out:"$dir/QelZmq.dll" "$@" "$dir/AssemblyInfo.cs"
    rm "$dir/AssemblyInfo.cs"
    cp "$here/QelZmq.dll.config" "$dir/"
}
compile ".NETFramework,Version=v4.5" ".NET Framework 4.5" "$out/net45"
# The same sources, their references then pointed at netstandard 2.0 (see netstandard.py).
compile ".NETStandard,Version=v2.0" ".NET Standard 2.0" "$out/netstandard2.0"
python3 "$here/netstandard.py" "$out/netstandard2.0/QelZmq.dll" "$facade" "$out/netstandard2.0/QelZmq.ns.dll"
mv "$out/netstandard2.0/QelZmq.ns.dll" "$out/netstandard2.0/QelZmq.dll"
for target in net45 netstandard2.0; do
    python3 "$here/reproducible.py" mvid "$out/$target/QelZmq.dll"
done

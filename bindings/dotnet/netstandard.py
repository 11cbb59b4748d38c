#!/usr/bin/env python3
"""netstandard.py ASSEMBLY FACADE OUTPUT - makes a netstandard 2.0 assembly of ASSEMBLY, the
wrapper as mcs built it against .NET Framework 4.5's reference assemblies.

mcs cannot compile against netstandard.dll: mono's is a facade that forwards every type to
mscorlib and friends, and mcs follows the forwards. So the types the assembly refers to are
checked against FACADE (mono's netstandard 2.0 facade, whose forwarders are exactly the
types netstandard 2.0 has), then the assembly goes through monodis and ilasm with every
reference pointed at netstandard 2.0.0.0. Members are not checked: the wrapper uses none
that .NET Framework 4.5 has and netstandard 2.0 lacks, and the tests run this build too.
"""
import os
import re
import struct
import subprocess
import sys

NETSTANDARD = """.assembly extern netstandard
{
  .publickeytoken = (CC 7B 13 D6 DF 5D C6 F8 )
  .ver 2:0:0:0
}
"""


def monodis(*args):
    return subprocess.run(["monodis"] + list(args), check=True, capture_output=True,
                          text=True).stdout


def check_types(assembly, facade):
    held = set(re.findall(r"^\d+: (\S+) is in assemblyref", monodis("--exported", facade), re.M))
    wanted = re.findall(r"^\d+: \[[^\]]+\](\S+)", monodis("--typeref", assembly), re.M)
    missing = sorted({name for name in wanted if name.split("/")[0] not in held})
    if missing:
        sys.exit("netstandard.py: netstandard 2.0 lacks " + ", ".join(missing))


def retarget(il):
    externs = re.findall(r"^\.assembly extern (\S+)\s*\{[^}]*\}\n", il, re.M)
    il = re.sub(r"^\.assembly extern \S+\s*\{[^}]*\}\n", "", il, flags=re.M)
    for name in externs:
        il = il.replace("[" + name + "]", "[netstandard]")
    # ilasm keeps the first kind it meets for a type: a value type named bare (box,
    # isinst) before it appears in a signature would be encoded there as a class.
    for name in set(re.findall(r"valuetype \[netstandard\]([\w.`/]+)", il)):
        il = re.sub(r"(?<!valuetype )\[netstandard\]" + re.escape(name) + r"(?![\w.`])",
                    lambda bare, name=name: "valuetype [netstandard]" + name, il)
    return NETSTANDARD + il


def heap(data, root, wanted):
    """(offset, size) of the named metadata stream."""
    version_length = struct.unpack_from("<I", data, root + 12)[0]
    position = root + 16 + version_length + 2
    (streams,) = struct.unpack_from("<H", data, position)
    position += 2
    for _ in range(streams):
        offset, size = struct.unpack_from("<II", data, position)
        end = data.index(b"\0", position + 8)
        name = data[position + 8:end]
        position = (end + 4) & ~3
        if name == wanted:
            return root + offset, size
    raise ValueError("no %s stream" % wanted.decode())


def drop_mscorlib(path):
    """ilasm always adds an AssemblyRef to mscorlib 0.0.0.0, used by nothing here: it
    becomes a second copy of the netstandard one, so no reference to mscorlib is left.
    Its PE time stamp becomes 0, as mcs writes it."""
    with open(path, "rb") as file:
        data = bytearray(file.read())
    root = data.index(b"BSJB")
    strings, strings_size = heap(data, root, b"#Strings")
    tables, tables_size = heap(data, root, b"#~")
    if data[tables + 6] & 7:
        raise ValueError("large heaps: the AssemblyRef rows are not laid out as expected")
    names = bytes(data[strings:strings + strings_size])

    def name_index(text):
        return names.index(b"\0" + text + b"\0") + 1

    stream = bytes(data[tables:tables + tables_size])
    # MajorVersion..RevisionNumber, Flags, PublicKeyOrToken, Name, Culture, HashValue.
    ours = re.compile(re.escape(struct.pack("<4HI", 2, 0, 0, 0, 0)) + b"..", re.S)
    ours_row = [m for m in ours.finditer(stream)
                if stream[m.end():m.end() + 6] == struct.pack("<3H", name_index(b"netstandard"), 0, 0)]
    added = struct.pack("<4HIHHHH", 0, 0, 0, 0, 0, 0, name_index(b"mscorlib"), 0, 0)
    if len(ours_row) != 1 or stream.count(added) != 1:
        raise ValueError("cannot find the two AssemblyRef rows")
    start = tables + stream.index(added)
    data[start:start + len(added)] = stream[ours_row[0].start():ours_row[0].start() + len(added)]
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    data[pe + 8:pe + 12] = bytes(4)
    with open(path, "wb") as file:
        file.write(data)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: netstandard.py ASSEMBLY FACADE OUTPUT")
    assembly, facade, output = sys.argv[1:]
    check_types(assembly, facade)
    il_path = output + ".il"
    with open(il_path, "w") as file:
        file.write(retarget(monodis(assembly)))
    log = subprocess.run(["ilasm", "-dll", "-out:" + output, il_path], capture_output=True, text=True)
    os.remove(il_path)
    if log.returncode != 0:
        sys.exit("netstandard.py: ilasm failed:\n" + log.stdout + log.stderr)
    drop_mscorlib(output)


if __name__ == "__main__":
    main()

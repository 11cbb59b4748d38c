#!/usr/bin/env python3
"""check_version.py DLL HEADER - checks the DLL's VERSIONINFO resource (taken out with
icoutils' wrestool) against the version macros of qel_zmq.h: the fixed file and product
versions, and the StringFileInfo fields that Explorer and installers show.
"""
import re
import struct
import subprocess
import sys


def parse(blob, offset=0):
    """One VS_VERSIONINFO-style node: (key, value bytes, value type, children)."""
    length, value_length, value_type = struct.unpack_from("<HHH", blob, offset)
    end = offset + length
    key_start = offset + 6
    key_end = blob.index(b"\0\0", key_start)
    while (key_end - key_start) % 2:  # the NUL pair must fall on a character boundary
        key_end = blob.index(b"\0\0", key_end + 1)
    key = blob[key_start:key_end].decode("utf-16-le")
    position = (key_end + 2 + 3) & ~3
    size = value_length * 2 if value_type == 1 else value_length  # text counts characters
    value = blob[position:position + size]
    position = (position + size + 3) & ~3
    children = []
    while position < end:
        child = parse(blob, position)
        children.append(child)
        position = (position + child[4] + 3) & ~3
    return key, value, value_type, children, length


def main():
    dll, header = sys.argv[1:3]
    with open(header) as text:
        macros = text.read()
    version = tuple(int(re.search(rf"^#define QEL_ZMQ_VERSION_{part} (\d+)$", macros, re.M)[1])
                    for part in ("MAJOR", "MINOR", "PATCH"))
    blob = subprocess.run(["wrestool", "-x", "--raw", "--type=16", dll], check=True,
                          capture_output=True).stdout
    if not blob:
        sys.exit(f"FAIL: {dll} has no version resource")
    key, fixed, _, children, _ = parse(blob)
    failures = []
    if key != "VS_VERSION_INFO" or len(fixed) != 52:
        sys.exit(f"FAIL: the resource is no VS_VERSION_INFO ({key!r}, {len(fixed)} bytes)")
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if signature != 0xFEEF04BD:
        failures.append(f"VS_FIXEDFILEINFO signature {signature:#x}")
    wanted = (version[0] << 16 | version[1], version[2] << 16)
    for name, got in (("file", (file_ms, file_ls)), ("product", (product_ms, product_ls))):
        if got != wanted:
            failures.append(f"fixed {name} version {got[0] >> 16}.{got[0] & 0xFFFF}."
                            f"{got[1] >> 16}.{got[1] & 0xFFFF}, header says {version}")
    strings = {}
    for child in children:
        if child[0] == "StringFileInfo":
            for table in child[3]:
                for entry in table[3]:
                    strings[entry[0]] = entry[1].decode("utf-16-le").rstrip("\0")
    dotted = ".".join(map(str, version))
    expected = {"FileVersion": dotted, "ProductVersion": dotted, "ProductName": "QEL_ZMQ",
                "CompanyName": "QEL_ZMQ developers", "OriginalFilename": "QEL_ZMQ.dll"}
    for name, value in expected.items():
        if strings.get(name) != value:
            failures.append(f"{name} is {strings.get(name)!r}, not {value!r}")
    if "MIT" not in strings.get("LegalCopyright", ""):
        failures.append(f"LegalCopyright {strings.get('LegalCopyright')!r} names no MIT licence")
    if failures:
        sys.exit("FAIL: " + "; ".join(failures))
    print(f"version resource ok: {dotted}, " +
          ", ".join(f"{k}={v!r}" for k, v in sorted(strings.items())))


if __name__ == "__main__":
    main()

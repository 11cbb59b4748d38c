#!/usr/bin/env python3
"""reproducible.py mvid ASSEMBLY | nupkg PACKAGE [METADATA] - makes the NuGet package's
bytes depend on its inputs only: mono's mcs gives each assembly a random module version id
(MVID), and nuget stamps the archive with the packing time and the packing machine's kernel.

mvid: the MVID becomes a hash of the assembly with its MVID zeroed.
nupkg: every entry gets SOURCE_DATE_EPOCH (or 2000-01-01) as its time and fixed
attributes, and the core properties lose the packing machine's name. The elements in the
file METADATA, if given, are added to the nuspec's metadata: those newer than the nuget
that packed it.
"""
import hashlib
import os
import re
import sys
import time
import zipfile

from netstandard import heap  # the same metadata walk, beside this file


def mvid_offset(data):
    """File offset of the first GUID of the metadata's #GUID heap, the module's MVID."""
    return heap(data, data.index(b"BSJB"), b"#GUID")[0]


def fix_mvid(path):
    with open(path, "rb") as file:
        data = bytearray(file.read())
    where = mvid_offset(data)
    data[where:where + 16] = bytes(16)
    data[where:where + 16] = hashlib.sha256(data).digest()[:16]
    with open(path, "wb") as file:
        file.write(data)


def fix_nupkg(path, metadata=None):
    stamp = time.gmtime(int(os.environ.get("SOURCE_DATE_EPOCH", "946684800")))[:6]
    with zipfile.ZipFile(path) as source:
        entries = [(info, source.read(info)) for info in source.infolist()]
    with zipfile.ZipFile(path + ".tmp", "w") as target:
        for info, data in entries:
            if info.filename.endswith(".psmdcp"):
                # "NuGet.Core, Version=...;Unix 6.1.0.1;" names the packing machine's kernel.
                data = re.sub(rb"(<lastModifiedBy>[^;<]*);[^<]*(</lastModifiedBy>)", rb"\1\2", data)
            if metadata and info.filename.endswith(".nuspec"):
                with open(metadata, "rb") as extra:
                    data = data.replace(b"  </metadata>", extra.read() + b"  </metadata>", 1)
            fixed = zipfile.ZipInfo(info.filename, date_time=stamp)
            fixed.compress_type = info.compress_type
            fixed.external_attr = 0o644 << 16
            fixed.create_system = 3
            target.writestr(fixed, data, compresslevel=9)
    os.replace(path + ".tmp", path)


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4) or sys.argv[1] not in ("mvid", "nupkg"):
        sys.exit("usage: reproducible.py mvid ASSEMBLY | nupkg PACKAGE [METADATA]")
    (fix_mvid if sys.argv[1] == "mvid" else fix_nupkg)(*sys.argv[2:])

#!/usr/bin/env python3
"""check_wheel.py WHEEL DLL LINUX_LIBRARY - checks the win_amd64 wheel by reading it (tag,
RECORD hashes, the DLL inside the package, byte for byte the release's) and by running
its module's loader on Linux: unpacked, with the Linux library in the DLL's place, a
module that believes it runs on Windows must load the file beside itself, ahead of
$QEL_ZMQ_LIBRARY, and make and free a handle through it.
"""
import base64
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

PACKAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bindings",
                       "python", "qel_zmq")


def fail(message):
    sys.exit(f"FAIL: {message}")


def main():
    wheel, dll, linux_library = sys.argv[1:4]
    if not os.path.basename(wheel).endswith("-py3-none-win_amd64.whl"):
        fail(f"{wheel} is not tagged py3-none-win_amd64")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        info = next(n for n in names if n.endswith(".dist-info/WHEEL"))
        if "Tag: py3-none-win_amd64" not in archive.read(info).decode().splitlines():
            fail("the WHEEL file does not carry the win_amd64 tag")
        record = next(n for n in names if n.endswith(".dist-info/RECORD"))
        for line in archive.read(record).decode().splitlines():
            name, digest, _size = line.rsplit(",", 2)
            if name == record:
                continue
            actual = base64.urlsafe_b64encode(hashlib.sha256(archive.read(name)).digest())
            if digest != "sha256=" + actual.rstrip(b"=").decode():
                fail(f"RECORD's hash of {name} does not match")
        for needed in ("qel_zmq/py.typed", "qel_zmq/QEL_ZMQ.dll", "qel_zmq/THIRD-PARTY-NOTICES.txt"):
            if needed not in names:
                fail(f"the wheel lacks {needed}")
        # Every module of the package, as the checkout holds it.
        for module in sorted(glob.glob(os.path.join(PACKAGE, "*.py"))):
            needed = "qel_zmq/" + os.path.basename(module)
            with open(module, "rb") as source:
                if needed not in names or archive.read(needed) != source.read():
                    fail(f"the wheel lacks {needed} or holds another one")
        with open(dll, "rb") as built:
            if archive.read("qel_zmq/QEL_ZMQ.dll") != built.read():
                fail("qel_zmq/QEL_ZMQ.dll is not the release's DLL")
        site = tempfile.mkdtemp()
        try:
            archive.extractall(site)
            shutil.copyfile(linux_library, os.path.join(site, "qel_zmq", "QEL_ZMQ.dll"))
            code = ("import sys\n"
                    "sys.platform = 'win32'\n"
                    "import qel_zmq\n"
                    "lib = qel_zmq.load_library()\n"
                    "handle = lib.createConnectionHandle()\n"
                    "lib.freeHandle(handle)\n"
                    "print(lib._name, bool(handle))\n")
            env = {"PATH": "/usr/bin:/bin", "PYTHONPATH": site, "PYTHONDONTWRITEBYTECODE": "1",
                   "QEL_ZMQ_LIBRARY": os.path.join(site, "not-this-one.so")}
            done = subprocess.run(["/usr/bin/python3", "-c", code], env=env, capture_output=True,
                                  text=True, timeout=60)
            beside = os.path.join(site, "qel_zmq", "QEL_ZMQ.dll")
            if done.returncode != 0 or done.stdout != f"{beside} True\n":
                fail(f"the module did not load the DLL beside itself: {done.stdout}{done.stderr}")
        finally:
            shutil.rmtree(site)
    print(f"wheel ok: {os.path.basename(wheel)} holds the DLL, and its module loads it from beside itself")


if __name__ == "__main__":
    main()

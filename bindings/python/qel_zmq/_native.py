"""_native.py - the QEL_ZMQ shared library through ctypes: where it is looked for, how its
five functions are declared, and the NUL-terminated text they take.
"""
import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Any, List, Optional, Tuple, Union

Text = Union[str, bytes, bytearray, memoryview]
LibraryChoice = Union[None, str, bytes, "os.PathLike[Any]", ctypes.CDLL]


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    lib.createConnectionHandle.restype = ctypes.c_void_p
    lib.createConnectionHandle.argtypes = []
    lib.freeHandle.restype = None
    lib.freeHandle.argtypes = [ctypes.c_void_p]
    lib.connectToQelLuaService.restype = ctypes.c_int
    lib.connectToQelLuaService.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p]
    # POINTER(c_char) rather than c_char_p: ctypes must not convert (and lose) the
    # library's buffer before it is given back with freeResult.
    lib.executeLuaScriptQel.restype = ctypes.c_int
    lib.executeLuaScriptQel.argtypes = [
        ctypes.POINTER(ctypes.POINTER(ctypes.c_char)),
        ctypes.c_char_p,
        ctypes.c_void_p,
    ]
    lib.freeResult.restype = None
    lib.freeResult.argtypes = [ctypes.POINTER(ctypes.c_char)]
    return lib


def _bundled_names() -> Tuple[str, ...]:
    """The library's file names to look for beside this module (a wheel puts it there)."""
    return ("QEL_ZMQ.dll",) if sys.platform == "win32" else ("libqel_zmq.so.1", "libqel_zmq.so")


def _search_names() -> List[str]:
    names: List[str] = []
    for name in ("qel_zmq", "QEL_ZMQ"):  # Unix name, then the Windows DLL's name
        found = ctypes.util.find_library(name)
        if found and found not in names:
            names.append(found)
    if not names and sys.platform.startswith("linux"):
        # find_library consults ldconfig's cache, which misses libraries installed
        # under a prefix it does not know; the dynamic loader may still find them.
        names.append("libqel_zmq.so.1")
    return names


def load_library(path: Union[None, str, bytes, "os.PathLike[Any]"] = None) -> ctypes.CDLL:
    """Loads QEL_ZMQ and declares its five functions; returns the ctypes.CDLL.

    Looks at `path` if given; else at the library beside this module (QEL_ZMQ.dll on
    Windows, as the wheel holds it; libqel_zmq.so.1 elsewhere); else at $QEL_ZMQ_LIBRARY
    if set; else the system's search (find_library "qel_zmq" or "QEL_ZMQ", then
    "libqel_zmq.so.1" on Linux). The first of these that exists is used alone: there is
    no fallback behind it. Raises OSError naming everything tried when nothing loads.

    The file beside the module is loaded by its full path, which is what Python 3.8 and
    later need on Windows: they search neither PATH nor the current folder for a bare
    name.
    """
    here = os.path.dirname(os.path.abspath(__file__))
    beside = [os.path.join(here, name) for name in _bundled_names()
              if os.path.isfile(os.path.join(here, name))]
    candidates: List[Any]
    if path is not None:
        candidates, origin = [os.fspath(path)], "path argument"
    elif beside:
        candidates, origin = beside[:1], "beside the module"
    elif os.environ.get("QEL_ZMQ_LIBRARY"):
        candidates, origin = [os.environ["QEL_ZMQ_LIBRARY"]], "QEL_ZMQ_LIBRARY"
    else:
        candidates, origin = _search_names(), "library search"
    failures = []
    for candidate in candidates:
        try:
            return _declare(ctypes.CDLL(candidate))
        except (OSError, AttributeError) as error:  # AttributeError: a function is missing
            failures.append(f"{candidate!r}: {error}")
    tried = "; ".join(failures) if failures else "find_library found neither qel_zmq nor QEL_ZMQ"
    raise OSError(f"QEL_ZMQ library could not be loaded ({origin}): {tried}; "
                  "set QEL_ZMQ_LIBRARY to the library's path")


_default_library: Optional[ctypes.CDLL] = None
_default_library_lock = threading.Lock()


def _library(library: LibraryChoice) -> ctypes.CDLL:
    """A CDLL given by the caller, one loaded from a path, or the process-wide default."""
    global _default_library
    if library is None:
        with _default_library_lock:
            if _default_library is None:
                _default_library = load_library()
            return _default_library
    if isinstance(library, (str, bytes, os.PathLike)):
        return load_library(library)
    if isinstance(library, ctypes.CDLL):
        _declare(library)  # loaded elsewhere: must not run with ctypes' default types
    return library



def _as_bytes(value: Text, what: str, encoding: str = "utf-8", errors: str = "strict") -> bytes:
    """The exact bytes to hand to C: str encoded as asked, bytes-like objects as they are."""
    if isinstance(value, str):
        data = value.encode(encoding, errors)
    elif isinstance(value, bytes):
        data = value
    elif isinstance(value, (bytearray, memoryview)):
        data = memoryview(value).tobytes()
    else:
        raise TypeError(f"{what} must be str, bytes, bytearray or memoryview, "
                        f"not {type(value).__name__}")
    nul = data.find(b"\0")
    if nul >= 0:
        # The C interface takes NUL-terminated text and would silently send less.
        raise ValueError(f"{what} contains a NUL byte at offset {nul}")
    return data

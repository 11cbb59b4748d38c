"""qel_zmq.py - Python binding of the QEL_ZMQ client library through ctypes.

Loads the shared library, wraps a handle in a Connection object that frees it, and
copies each answer into a Python bytes object before handing the buffer back.
"""
import ctypes
import ctypes.util
import os

__all__ = ["QelError", "Connection", "load_library"]


class QelError(RuntimeError):
    """A library call returned -1 (its details, if any, went to the console)."""


def load_library(path=None):
    """Loads QEL_ZMQ from `path`, $QEL_ZMQ_LIBRARY, or the system's library search."""
    path = path or os.environ.get("QEL_ZMQ_LIBRARY") or ctypes.util.find_library("qel_zmq")
    if not path:
        raise OSError("QEL_ZMQ library not found; set QEL_ZMQ_LIBRARY")
    lib = ctypes.CDLL(path)
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


def _as_bytes(text):
    data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
    if b"\0" in data:
        raise ValueError("text must not contain NUL bytes")
    return data


class Connection:
    """One handle: connect() to a service, then execute() scripts; use as a context manager."""

    def __init__(self, library=None):
        self._lib = library if library is not None else load_library()
        self._handle = self._lib.createConnectionHandle()
        if not self._handle:
            raise QelError("could not create a connection handle")

    def connect(self, host, port):
        if self._lib.connectToQelLuaService(_as_bytes(host), int(port), self._handle) != 0:
            raise QelError(f"could not connect to {host}:{port}")
        return self

    def execute_bytes(self, script):
        """Runs `script` and returns the raw answer bytes. Blocks until it arrives."""
        result = ctypes.POINTER(ctypes.c_char)()
        if self._lib.executeLuaScriptQel(ctypes.byref(result), _as_bytes(script), self._handle) != 0:
            raise QelError("the script could not be run")
        try:
            return ctypes.string_at(result)
        finally:
            self._lib.freeResult(result)

    def execute(self, script, encoding="utf-8"):
        """Runs `script` and returns the answer decoded as text."""
        return self.execute_bytes(script).decode(encoding, errors="replace")

    def close(self):
        if self._handle:
            self._lib.freeHandle(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()

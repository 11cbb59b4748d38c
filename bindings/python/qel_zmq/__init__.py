"""qel_zmq - Python binding of the QEL_ZMQ client library through ctypes.

Loads the shared library, wraps one handle in a Connection object that serialises its
calls and frees it, and copies each answer into Python bytes before handing it back.
"""
import ctypes
import ctypes.util
import operator
import os
import sys
import threading
from typing import Any, List, Optional, Tuple, Union

Text = Union[str, bytes, bytearray, memoryview]
LibraryChoice = Union[None, str, bytes, "os.PathLike[Any]", ctypes.CDLL]

__version__ = "1.0.0"
__all__ = ["QelError", "Connection", "load_library"]

_C_INT_MIN = -(2**31)
_C_INT_MAX = 2**31 - 1


class QelError(RuntimeError):
    """A library call failed, or the Connection was used after close()."""


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


class Connection:
    """One connection handle: connect to a service, then execute scripts.

    Connection(host, port) creates the handle and connects it; Connection() leaves it
    unconnected until connect(). Use it as a context manager or call close().
    `library` is a CDLL from load_library(), a path to load, or None for the library
    load_library() finds, loaded once per process. A str host is encoded with `encoding`.

    Calls on one Connection are serialised by a lock, so threads may share it; each
    waits for the one before. close() takes the same lock, so it waits for a running
    execute to get its answer (which, with no service answering, is forever).
    """

    def __init__(self, host: Optional[Text] = None, port: Optional[int] = None, *,
                 library: LibraryChoice = None, encoding: str = "utf-8") -> None:
        # Set first so that close() and __del__ work whatever fails below.
        self._lock = threading.Lock()
        self._handle: Optional[int] = None
        self._pid = os.getpid()
        self._failed = False  # an execute returned -1: a request may still be queued
        if host is None and port is not None:
            raise TypeError("a port was given without a host")
        if host is not None and port is None:
            raise TypeError("a host was given without a port")
        self._lib = _library(library)
        handle = self._lib.createConnectionHandle()
        if not handle:
            raise QelError("could not create a connection handle "
                           "(out of memory or file descriptors)")
        self._handle = handle
        if host is not None:
            try:
                self.connect(host, port, encoding=encoding)
            except BaseException:
                self.close()
                raise

    @property
    def closed(self) -> bool:
        return self._handle is None

    def _live_handle(self) -> int:
        # Called under the lock: a freed handle must never reach the library.
        if self._handle is None:
            raise QelError("connection is closed")
        return self._handle

    def connect(self, host: Text, port: int, *, encoding: str = "utf-8") -> "Connection":
        """Attaches the service at tcp://host:port; returns self.

        Succeeds as soon as ZeroMQ accepts the endpoint, whether or not a service
        listens there yet. A further call adds another endpoint to the same handle.
        """
        data = _as_bytes(host, "host", encoding)
        port = operator.index(port)
        if not _C_INT_MIN <= port <= _C_INT_MAX:
            raise ValueError(f"port {port} does not fit in a C int")
        with self._lock:
            if self._lib.connectToQelLuaService(data, port, self._live_handle()) != 0:
                raise QelError(f"could not connect to {host!r}:{port}: ZeroMQ refused "
                               "the endpoint (its reason was written to standard output)")
        return self

    def execute_bytes(self, script: Text, *, encoding: str = "utf-8",
                      errors: str = "strict") -> bytes:
        """Runs `script` and returns the answer's bytes; blocks until it arrives.

        The answer ends at its first NUL byte, as the C interface delivers it.
        """
        data = _as_bytes(script, "script", encoding, errors)
        with self._lock:
            handle = self._live_handle()
            result = ctypes.POINTER(ctypes.c_char)()
            try:
                if self._lib.executeLuaScriptQel(ctypes.byref(result), data, handle) != 0:
                    self._failed = True
                    raise QelError("the script could not be run: ZeroMQ failed to send or "
                                   "receive (its reason was written to standard error); "
                                   "make a new Connection if the request had gone out")
                return ctypes.string_at(result)
            finally:
                if result:  # ours since the call returned; only freeResult may release it
                    self._lib.freeResult(result)

    def execute(self, script: Text, encoding: str = "utf-8", errors: str = "strict") -> str:
        """Runs `script` and returns the answer as text.

        `encoding` and `errors` are used both ways: to encode a str script and to
        decode the answer (bytes-like scripts are sent as they are).
        """
        answer = self.execute_bytes(script, encoding=encoding, errors=errors)
        return answer.decode(encoding, errors)

    def close(self) -> None:
        """Frees the handle; later calls raise QelError. Safe to call more than once."""
        if self._pid != os.getpid():
            # A forked child holds a copy of the parent's handle whose ZeroMQ I/O thread
            # did not survive the fork: freeing it would wait for that thread for ever.
            self._handle = None
            return
        with self._lock:
            handle, self._handle = self._handle, None
            if not handle:
                return
            if self._failed:
                # After a failed execute (Ctrl-C during the wait, for one) the request
                # may still be queued for a service that is not there, and ZeroMQ's
                # default linger makes freeHandle wait to deliver it. A daemon thread
                # does that wait, so close() returns and the process can still exit.
                threading.Thread(target=self._lib.freeHandle, args=(handle,),
                                 name="qel_zmq-free", daemon=True).start()
            else:
                self._lib.freeHandle(handle)

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self.close()

    def __repr__(self) -> str:
        state = "closed" if getattr(self, "_handle", None) is None else "open"
        return f"<qel_zmq.Connection {state}>"

"""_connection.py - Connection, one QEL_ZMQ handle behind a lock: its calls never overlap,
close() never waits for one, and a handle that may still hold an undelivered request is
freed without waiting to deliver it.
"""
import ctypes
import operator
import os
import sys
import threading
from typing import Any, Optional, Tuple

from ._lua import _call_script, _json_answer
from . import QelError
from ._native import LibraryChoice, Text, _as_bytes, _library

_C_INT_MIN = -(2**31)
_C_INT_MAX = 2**31 - 1

_INTERRUPTED = ("an earlier call on this connection was interrupted while it waited; "
                "its request may still be pending, so the handle cannot be used again: "
                "make a new connection")


class Connection:
    """One connection handle: connect to a service, then execute scripts.

    Connection(host, port) creates the handle and connects it; Connection() leaves it
    unconnected until connect(). Use it as a context manager or call close().
    `library` is a CDLL from load_library(), a path to load, or None for the library
    load_library() finds, loaded once per process. A str host is encoded with `encoding`.

    Calls on one Connection are serialised by a lock, so threads may share it; each
    waits for the one before. close() never waits for a running call: that call frees
    the handle as it returns. After a call interrupted by Ctrl-C the Connection is
    unusable, and close() frees its handle without waiting to deliver the request.
    """

    def __init__(self, host: Optional[Text] = None, port: Optional[int] = None, *,
                 library: LibraryChoice = None, encoding: str = "utf-8") -> None:
        # Set first so that close() and __del__ work whatever fails below.
        self._lock = threading.Lock()   # held for a whole call: calls never overlap
        self._state = threading.Lock()  # guards the fields below, held only briefly
        self._handle: Optional[int] = None
        self._busy = False       # a library call is using the handle right now
        self._failed = False     # an execute returned -1: a request may still be queued
        self._unusable: Optional[str] = None
        self._pid = os.getpid()
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
        if host is not None and port is not None:
            try:
                self.connect(host, port, encoding=encoding)
            except BaseException:
                self.close()
                raise

    @property
    def closed(self) -> bool:
        return self._handle is None

    def _check_usable(self) -> int:
        # Under self._state. A freed or abandoned handle must never reach the library.
        if self._handle is None:
            raise QelError("connection is closed")
        if self._unusable is not None:
            raise QelError(self._unusable)
        return self._handle

    def _take_handle(self) -> int:
        # Under self._lock.
        with self._state:
            handle = self._check_usable()
            self._busy = True
            return handle

    def _give_back(self, handle: int, failed: bool) -> None:
        # Run by the thread whose library call just returned: if close() came meanwhile,
        # the handle is freed here, since close() itself does not wait.
        with self._state:
            self._busy = False
            self._failed = self._failed or failed
            orphaned = self._handle is None
        if orphaned:
            self._release(handle)

    def _abandon(self, reason: str) -> None:
        with self._state:
            if self._unusable is None:
                self._unusable = reason

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
            handle = self._take_handle()
            try:
                status = self._lib.connectToQelLuaService(data, port, handle)
            finally:
                self._give_back(handle, False)
            if status != 0:
                raise QelError(f"could not connect to {host!r}:{port}: ZeroMQ refused "
                               "the endpoint (its reason was written to standard output)")
        return self

    def _exchange(self, handle: int, data: bytes) -> Tuple[int, bytes]:
        """One executeLuaScriptQel on the calling thread; the answer copied and freed."""
        result = ctypes.POINTER(ctypes.c_char)()
        status = -1
        try:
            status = self._lib.executeLuaScriptQel(ctypes.byref(result), data, handle)
            return status, (ctypes.string_at(result) if status == 0 else b"")
        finally:
            if result:  # ours since the call returned; only freeResult may release it
                self._lib.freeResult(result)
            self._give_back(handle, status != 0)

    def _ensure_usable(self) -> None:
        with self._state:
            self._check_usable()

    def _execute_data(self, data: bytes) -> bytes:
        # Before the lock: a cancelled asynchronous call holds it for as long as its
        # library call waits, which may be for ever.
        self._ensure_usable()
        with self._lock:
            handle = self._take_handle()
            try:
                status, answer = self._exchange(handle, data)
            except BaseException:
                # Ctrl-C: SIGINT ends ZeroMQ's wait (EINTR), the library returns -1 and
                # KeyboardInterrupt follows. The request may have gone out, so the handle
                # is not used again; _exchange has marked it failed, so close() frees it
                # without waiting to deliver the request.
                self._abandon(_INTERRUPTED)
                raise
        if status != 0:
            raise QelError("the script could not be run: ZeroMQ failed to send or "
                           "receive (its reason was written to standard error); "
                           "make a new Connection if the request had gone out")
        return answer

    def execute_bytes(self, script: Text, *, encoding: str = "utf-8",
                      errors: str = "strict") -> bytes:
        """Runs `script` and returns the answer's bytes; blocks until it arrives.

        The answer ends at its first NUL byte, as the C interface delivers it.
        """
        return self._execute_data(_as_bytes(script, "script", encoding, errors))

    def execute(self, script: Text, encoding: str = "utf-8", errors: str = "strict") -> str:
        """Runs `script` and returns the answer as text.

        `encoding` and `errors` are used both ways: to encode a str script and to
        decode the answer (bytes-like scripts are sent as they are).
        """
        answer = self.execute_bytes(script, encoding=encoding, errors=errors)
        return answer.decode(encoding, errors)

    def call(self, script: Text, *args: Any) -> str:
        """Runs `script` with `args` as its `...` and returns the UTF-8 answer.

        Each argument is written into the request as a Lua literal (see the README for
        the types), so no argument can change the script's code; a value that cannot be
        written raises TypeError or ValueError before anything is sent.
        """
        return self._execute_data(_call_script(script, args)).decode("utf-8")

    def call_json(self, script: Text, *args: Any) -> Any:
        """call(), with the answer (a JSON text the script returns) parsed by json.loads.

        An error answer (`error: ...`, which no JSON text starts with) raises QelError
        with the service's message rather than a JSON parse error that would hide it.
        """
        return _json_answer(self.call(script, *args))

    def _release(self, handle: int) -> None:
        if self._failed:
            # After a failed execute the request may still be queued for a service that
            # is not there, and ZeroMQ's default linger makes freeHandle wait to deliver
            # it. A daemon thread does that wait, so the process can still exit. While the
            # interpreter shuts down no thread can start, and the process is ending: the
            # handle is left to it.
            if sys.is_finalizing():
                return
            threading.Thread(target=self._lib.freeHandle, args=(handle,),
                             name="qel_zmq-free", daemon=True).start()
        else:
            self._lib.freeHandle(handle)

    def close(self) -> None:
        """Frees the handle; later calls raise QelError. Safe to call more than once.

        Never waits for a running call: that call frees the handle when it returns.
        After a cancelled asynchronous call the handle is left to the call still waiting
        on it.
        """
        if self._pid != os.getpid():
            # A forked child holds a copy of the parent's handle whose ZeroMQ I/O thread
            # did not survive the fork: freeing it would wait for that thread for ever.
            self._handle = None
            return
        with self._state:
            handle, self._handle = self._handle, None
            if not handle or self._busy:
                return
        self._release(handle)

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

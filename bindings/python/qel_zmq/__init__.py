"""qel_zmq - Python binding of the QEL_ZMQ client library through ctypes.

Loads the shared library, wraps one handle in a Connection object that serialises its
calls and frees it, and copies each answer into Python bytes before handing it back.
call() passes arguments to a script as Lua literals; AsyncConnection serves asyncio.
"""
import ctypes
import ctypes.util
import json
import operator
import os
import queue
import re
import sys
import threading
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Set, Tuple, Union

if TYPE_CHECKING:
    # Imported where AsyncConnection runs: a blocking host need not load asyncio.
    import asyncio

Text = Union[str, bytes, bytearray, memoryview]
LibraryChoice = Union[None, str, bytes, "os.PathLike[Any]", ctypes.CDLL]

__version__ = "1.0.0"
__all__ = ["QelError", "Connection", "AsyncConnection", "load_library"]

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


# Inside a double-quoted Lua string, printable ASCII stands for itself; every other byte,
# and the quote and the backslash, becomes a three-digit decimal escape, so that no byte
# of an argument can close the string or be read differently by Lua's lexer. Only the
# bytes that need it are touched, so long plain arguments are copied at C speed.
_LUA_UNSAFE = re.compile(rb'[^\x20\x21\x23-\x5b\x5d-\x7e]')
_LUA_ESCAPE = tuple(b"\\%03d" % b for b in range(256))
_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


def _lua_string(data: bytes) -> str:
    quoted = _LUA_UNSAFE.sub(lambda match: _LUA_ESCAPE[match.group()[0]], data)
    return '"' + quoted.decode("ascii") + '"'


def _lua_literal(value: Any, out: List[str], open_containers: Set[int]) -> None:
    """Appends the Lua literal of `value` to `out`; raises on anything Lua cannot get."""
    if value is None:
        out.append("nil")
    elif isinstance(value, bool):  # before int: True is an int too
        out.append("true" if value else "false")
    elif isinstance(value, int):
        number = int(value)  # an int subclass (IntEnum) may print itself otherwise
        if not _INT64_MIN <= number <= _INT64_MAX:
            raise ValueError(f"integer {number} does not fit in Lua's 64-bit integers")
        # -9223372036854775808 would lex as a float: 9223372036854775808 overflows first.
        out.append("(-9223372036854775807-1)" if number == _INT64_MIN else str(number))
    elif isinstance(value, float):
        if value != value:
            out.append("(0/0)")
        elif value in (float("inf"), float("-inf")):
            out.append("(1/0)" if value > 0 else "(-1/0)")
        else:
            text = float(value).hex()  # exact, and Lua reads a hexadecimal float exactly
            out.append(f"({text})" if text.startswith("-") else text)
    elif isinstance(value, str):
        out.append(_lua_string(value.encode("utf-8")))
    elif isinstance(value, (bytes, bytearray, memoryview)):
        out.append(_lua_string(memoryview(value).tobytes()))
    elif isinstance(value, (list, tuple, dict)):
        if id(value) in open_containers:
            raise ValueError("an argument contains itself")
        open_containers.add(id(value))
        out.append("{")
        if isinstance(value, dict):
            for index, (key, item) in enumerate(value.items()):
                # bytearray and memoryview cannot be dict keys; nil cannot be a Lua key.
                if not isinstance(key, (int, float, str, bytes)):
                    raise TypeError(f"a table key cannot be {type(key).__name__}")
                if isinstance(key, float) and key != key:
                    raise ValueError("a table key cannot be NaN")
                out.append(", [" if index else "[")
                _lua_literal(key, out, open_containers)
                out.append("]=")
                _lua_literal(item, out, open_containers)
        else:
            for index, item in enumerate(value):
                if index:
                    out.append(", ")
                _lua_literal(item, out, open_containers)
        out.append("}")
        open_containers.discard(id(value))
    else:
        raise TypeError(f"cannot pass {type(value).__name__} to Lua")


def _call_script(script: Text, args: Tuple[Any, ...]) -> bytes:
    """The one script text that runs `script` with `args` as its `...`.

    The prefix holds no newline, so Lua's line numbers in errors stay the script's own;
    the newline before `end` keeps a comment on the script's last line from eating it.
    """
    body = _as_bytes(script, "script")
    literals: List[str] = []
    for index, arg in enumerate(args):
        if index:
            literals.append(", ")
        _lua_literal(arg, literals, set())
    # The literals are printable ASCII by construction.
    return (b"return (function(...) " + body + b"\nend)("
            + "".join(literals).encode("ascii") + b")")


def _json_answer(answer: str) -> Any:
    if answer.startswith("error: "):
        raise QelError(answer)
    return json.loads(answer)


_Job = Optional[Callable[[], None]]  # None ends the helper


class _Helper:
    """A daemon thread that runs an AsyncConnection's library calls, one at a time.

    Daemon, so that a call that never returns does not keep the process from exiting.
    """

    def __init__(self, name: str) -> None:
        self.jobs: "queue.SimpleQueue[_Job]" = queue.SimpleQueue()
        threading.Thread(target=self._serve, args=(self.jobs,), name=name,
                         daemon=True).start()

    @staticmethod
    def _serve(jobs: "queue.SimpleQueue[_Job]") -> None:
        while True:
            job = jobs.get()
            if job is None:
                return
            job()
            del job  # holds nothing of a finished call while it waits for the next

    def run(self, job: Callable[[], None]) -> None:
        self.jobs.put(job)

    def stop(self) -> None:
        self.jobs.put(None)


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


_CANCELLED = ("an earlier call on this connection was cancelled while it waited; its "
              "handle stays with that call, so make a new AsyncConnection")


class AsyncConnection:
    """A Connection for asyncio: its calls run off the loop, on a thread of its own.

    `async with AsyncConnection(host, port) as conn: await conn.execute(...)`. Calls on
    one AsyncConnection run one after another. Cancelling a call cannot stop the
    library's wait, so the handle stays with it and the connection is unusable after:
    later calls raise QelError, and close() does not wait for it.
    """

    def __init__(self, host: Text, port: int, *, library: LibraryChoice = None,
                 encoding: str = "utf-8") -> None:
        # Connecting only hands ZeroMQ the endpoint; it does not wait for the network.
        self._connection = Connection(host, port, library=library, encoding=encoding)
        self._turn: "Optional[asyncio.Lock]" = None
        self._worker: Optional[_Helper] = None  # started by the first call

    @property
    def closed(self) -> bool:
        return self._connection.closed

    async def _run(self, data: bytes) -> bytes:
        import asyncio
        if self._turn is None:
            self._turn = asyncio.Lock()  # made here: it belongs to the running loop
        async with self._turn:
            loop = asyncio.get_running_loop()
            future: "asyncio.Future[bytes]" = loop.create_future()
            connection = self._connection
            # Here, not on the worker: after a cancel the worker is still in that call.
            connection._ensure_usable()

            def deliver(answer: Optional[bytes], error: Optional[BaseException]) -> None:
                if future.done():  # cancelled meanwhile
                    return
                if error is not None:
                    future.set_exception(error)
                else:
                    future.set_result(answer if answer is not None else b"")

            def work() -> None:
                answer: Optional[bytes] = None
                error: Optional[BaseException] = None
                try:
                    answer = connection._execute_data(data)
                except BaseException as failure:  # handed to the awaiting task
                    error = failure
                try:
                    loop.call_soon_threadsafe(deliver, answer, error)
                except RuntimeError:  # the loop was closed meanwhile
                    pass

            if self._worker is None:
                self._worker = _Helper("qel_zmq-async")
            self._worker.run(work)
            try:
                return await future
            except asyncio.CancelledError:
                connection._abandon(_CANCELLED)
                raise

    async def execute_bytes(self, script: Text, *, encoding: str = "utf-8",
                            errors: str = "strict") -> bytes:
        return await self._run(_as_bytes(script, "script", encoding, errors))

    async def execute(self, script: Text, encoding: str = "utf-8",
                      errors: str = "strict") -> str:
        answer = await self.execute_bytes(script, encoding=encoding, errors=errors)
        return answer.decode(encoding, errors)

    async def call(self, script: Text, *args: Any) -> str:
        return (await self._run(_call_script(script, args))).decode("utf-8")

    async def call_json(self, script: Text, *args: Any) -> Any:
        return _json_answer(await self.call(script, *args))

    def close(self) -> None:
        """Frees the handle unless a call still holds it; never waits for that call."""
        self._connection.close()
        worker, self._worker = self._worker, None
        if worker is not None:
            worker.stop()  # at once when idle; a cancelled call's worker never gets here

    def __del__(self) -> None:
        if getattr(self, "_worker", None) is not None:
            self.close()

    async def __aenter__(self) -> "AsyncConnection":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<qel_zmq.AsyncConnection {'closed' if self.closed else 'open'}>"

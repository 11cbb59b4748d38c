"""qel_zmq - Python binding of the QEL_ZMQ client library through ctypes.

Loads the shared library, wraps one handle in a Connection object that serialises its
calls and frees it, and copies each answer into Python bytes before handing it back.
call() passes arguments to a script as Lua literals; AsyncConnection serves asyncio.

The package's modules: _native (the library and its loader), _lua (the Lua literals of
call() and the answers of call_json()), _connection (Connection) and _asyncio
(AsyncConnection). Everything public is imported from here.
"""


class QelError(RuntimeError):
    """A library call failed, or the Connection was used after close()."""


# Defined here, before the modules that import it from here, so that its name in
# tracebacks and pickles stays qel_zmq.QelError.
from ._asyncio import AsyncConnection  # noqa: E402
from ._connection import Connection  # noqa: E402
from ._native import load_library  # noqa: E402
# The type aliases of the signatures stay importable from here, and out of __all__.
from ._native import LibraryChoice as LibraryChoice  # noqa: E402
from ._native import Text as Text  # noqa: E402

__version__ = "1.0.0"
__all__ = ["QelError", "Connection", "AsyncConnection", "load_library"]

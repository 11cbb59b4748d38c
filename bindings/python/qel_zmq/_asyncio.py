"""_asyncio.py - AsyncConnection, a Connection for asyncio: its calls run one after another
on a daemon thread of its own, off the event loop, and a cancelled call keeps the handle.
"""
import queue
import threading
from typing import TYPE_CHECKING, Any, Callable, Optional

from ._connection import Connection
from ._lua import _call_script, _json_answer
from ._native import LibraryChoice, Text, _as_bytes

if TYPE_CHECKING:
    # Imported where AsyncConnection runs: a blocking host need not load asyncio.
    import asyncio


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

"""test_qel_zmq.py - the Python binding against a real ZeroMQ REP peer on 127.0.0.1.

The peer runs in a thread with a bounded poll loop and answers with whatever the test
asked for, so the binding's copy-then-free, argument and error paths are exercised for
real; the tracking wrapper from conftest checks who gives back what.
"""
import asyncio
import ctypes
import ctypes.util
import os
import signal
import socket
import subprocess
import sys
import threading

import pytest
import zmq

from conftest import BINDING_DIR, Tracked
import qel_zmq


class Peer:
    def __init__(self, answer):
        self.context = zmq.Context()
        self.socket = self.context.socket(zmq.REP)
        self.socket.linger = 0
        self.socket.bind("tcp://127.0.0.1:*")
        self.port = int(self.socket.last_endpoint.decode().rsplit(":", 1)[1])
        self.answer = answer
        self.requests = []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def serve(self):
        for _ in range(3000):  # about a minute at most
            if self.stop.is_set():
                break
            if self.socket.poll(20):
                request = self.socket.recv_multipart()
                self.requests.append(b"".join(request))
                self.socket.send_multipart(self.answer(request[0]))

    def close(self):
        self.stop.set()
        self.thread.join()
        self.socket.close()
        self.context.term()


@pytest.fixture
def echo():
    peer = Peer(lambda request: [request])
    yield peer
    peer.close()


class TestExchange:
    def test_round_trip_text_and_bytes(self, library, echo):
        with qel_zmq.Connection("127.0.0.1", echo.port, library=library) as conn:
            assert conn.execute("return 'h\u00e9'") == "return 'h\u00e9'"
            assert conn.execute_bytes(b"\x01\xff") == b"\x01\xff"
            assert conn.execute("") == ""
        assert echo.requests == ["return 'h\u00e9'".encode(), b"\x01\xff", b""]

    def test_bytes_like_scripts_are_sent_unchanged(self, library, echo):
        with qel_zmq.Connection("127.0.0.1", echo.port, library=library) as conn:
            assert conn.execute_bytes(bytearray(b"ab\x80")) == b"ab\x80"
            assert conn.execute_bytes(memoryview(b"xyz\xfe")[1:]) == b"yz\xfe"
        assert echo.requests == [b"ab\x80", b"yz\xfe"]

    def test_encoding_applies_to_script_and_answer(self, library, echo):
        with qel_zmq.Connection("127.0.0.1", echo.port, library=library) as conn:
            assert conn.execute("caf\u00e9", encoding="latin-1") == "caf\u00e9"
            assert conn.execute("\udcff", errors="surrogateescape") == "\udcff"
        assert echo.requests == [b"caf\xe9", b"\xff"]

    def test_undecodable_answer_raises_and_the_buffer_is_still_freed(self, tracked):
        peer = Peer(lambda request: [b"\xff\xfe"])
        try:
            with qel_zmq.Connection("127.0.0.1", peer.port, library=tracked) as conn:
                with pytest.raises(UnicodeDecodeError):
                    conn.execute("x")
                assert conn.execute("x", errors="replace") == "\ufffd\ufffd"
                assert conn.execute_bytes("x") == b"\xff\xfe"
        finally:
            peer.close()
        assert tracked.calls.count("freeResult") == 3

    def test_answer_is_cut_at_nul_and_extra_parts_dropped(self, library):
        peer = Peer(lambda request: [b"abc\0def", b"second part"])
        try:
            with qel_zmq.Connection("127.0.0.1", peer.port, library=library) as conn:
                assert conn.execute("x") == "abc"
                assert conn.execute("y") == "abc"  # the handle stayed usable
        finally:
            peer.close()

    def test_connect_later_and_to_further_endpoints(self, library, echo):
        other = Peer(lambda request: [b"other"])
        try:
            with qel_zmq.Connection(library=library) as conn:
                assert conn.connect("127.0.0.1", echo.port) is conn
                assert conn.execute("first") == "first"
                conn.connect(b"127.0.0.1", other.port)
                # Requests are spread over both services once the second link is up.
                answers = set()
                for _ in range(500):
                    answers.add(conn.execute("spread"))
                    if len(answers) == 2:
                        break
                assert answers == {"spread", "other"}
        finally:
            other.close()


class TestArguments:
    def test_refused_endpoint_raises(self, library, capfd):
        with qel_zmq.Connection(library=library) as conn:
            with pytest.raises(qel_zmq.QelError, match="could not connect"):
                conn.connect("127.0.0.1", -1)
        assert capfd.readouterr().out == "Invalid argument"

    def test_refused_endpoint_in_constructor_frees_the_handle(self, tracked):
        with pytest.raises(qel_zmq.QelError):
            qel_zmq.Connection("127.0.0.1", -1, library=tracked)
        assert tracked.calls == ["create", "connect", "freeHandle"]

    def test_nul_in_script_is_refused_before_the_call(self, library, echo):
        with qel_zmq.Connection("127.0.0.1", echo.port, library=library) as conn:
            with pytest.raises(ValueError, match="NUL byte at offset 8"):
                conn.execute("return 1\0 --")
            with pytest.raises(ValueError):
                conn.execute_bytes(bytearray(b"\0"))
            assert conn.execute("ok") == "ok"
        assert echo.requests == [b"ok"]

    def test_nul_in_host_is_refused_before_the_call(self, tracked):
        with qel_zmq.Connection(library=tracked) as conn:
            with pytest.raises(ValueError):
                conn.connect("127.0.0.1\0.evil", 5)
        assert "connect" not in tracked.calls

    @pytest.mark.parametrize("port, error", [("5555", TypeError), (5.0, TypeError),
                                             (2**31, ValueError), (-(2**31) - 1, ValueError)])
    def test_port_must_be_a_c_int(self, tracked, port, error):
        with qel_zmq.Connection(library=tracked) as conn:
            with pytest.raises(error):
                conn.connect("127.0.0.1", port)
        assert "connect" not in tracked.calls

    def test_script_of_another_type_is_refused(self, library, echo):
        with qel_zmq.Connection("127.0.0.1", echo.port, library=library) as conn:
            with pytest.raises(TypeError):
                conn.execute(42)
        assert echo.requests == []

    def test_call_sends_one_text_with_lua_literals(self, library, echo):
        # The exact text is shared with the other bindings: the same values, the same bytes.
        cases = [(None, "nil"), (False, "false"), (2**63 - 1, "9223372036854775807"),
                 (-(2**63), "(-9223372036854775807-1)"), (-0.0, "(-0x0.0p+0)"),
                 (0.5, "0x1.0000000000000p-1"), (float("-inf"), "(-1/0)"),
                 (float("nan"), "(0/0)"), ('a"\\\n\0\u00e9~', '"a\\034\\092\\010\\000\\195\\169~"'),
                 ([1, None], "{1, nil}"), ({"k": (), 2: True}, '{["k"]={}, [2]=true}')]
        with qel_zmq.Connection("127.0.0.1", echo.port, library=library) as conn:
            sent = conn.call("return ...", *[value for value, _ in cases])
            assert conn.call("x") == "return (function(...) x\nend)()"
        assert sent == ("return (function(...) return ...\nend)("
                        + ", ".join(text for _, text in cases) + ")")

    loop = [1]
    loop.append({"in": loop})

    @pytest.mark.parametrize("arg, error", [
        (2**63, ValueError), (-(2**63) - 1, ValueError), ("\udc80", UnicodeEncodeError),
        (object(), TypeError), ({1.5}, TypeError), ({None: 1}, TypeError),
        ({(): 1}, TypeError), ({float("nan"): 1}, ValueError), (loop, ValueError)])
    def test_unsendable_argument_raises_before_anything_is_sent(self, library, echo, arg,
                                                                error):
        with qel_zmq.Connection("127.0.0.1", echo.port, library=library) as conn:
            with pytest.raises(error):
                conn.call("return ...", 1, [arg])
        assert echo.requests == []

    def test_host_and_port_go_together(self, library):
        with pytest.raises(TypeError):
            qel_zmq.Connection(port=5555, library=library)
        with pytest.raises(TypeError):
            qel_zmq.Connection("127.0.0.1", library=library)


class TestLifetime:
    def test_close_is_idempotent_and_frees_once(self, tracked):
        conn = qel_zmq.Connection(library=tracked)
        assert not conn.closed
        conn.close()
        conn.close()
        assert conn.closed
        assert tracked.calls == ["create", "freeHandle"]

    def test_use_after_close_never_reaches_the_library(self, tracked, echo):
        with qel_zmq.Connection("127.0.0.1", echo.port, library=tracked) as conn:
            assert conn.execute("once") == "once"
        calls = list(tracked.calls)
        with pytest.raises(qel_zmq.QelError, match="closed"):
            conn.execute("again")
        with pytest.raises(qel_zmq.QelError, match="closed"):
            conn.execute_bytes(b"again")
        with pytest.raises(qel_zmq.QelError, match="closed"):
            conn.connect("127.0.0.1", echo.port)
        assert tracked.calls == calls
        assert echo.requests == [b"once"]

    def test_garbage_collection_frees_the_handle(self, tracked):
        conn = qel_zmq.Connection(library=tracked)
        del conn
        assert tracked.calls == ["create", "freeHandle"]

    def test_half_built_connection_is_safe_to_collect(self, library):
        with pytest.raises(TypeError):
            qel_zmq.Connection(port=1, library=library)
        # A bare object whose __init__ never ran must not crash in __del__ or repr.
        bare = qel_zmq.Connection.__new__(qel_zmq.Connection)
        assert "closed" in repr(bare)
        del bare


def unused_port():
    """A loopback port nothing listens on (the system just handed it out and took it back)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class TestInterruptionAndFork:
    def test_close_after_an_interrupted_execute_returns(self, library, capfd):
        # Nothing listens, so the request stays queued; a signal ends the wait and
        # execute fails. close() must not then wait to deliver the request.
        conn = qel_zmq.Connection("127.0.0.1", unused_port(), library=library)
        errors = []

        def run():
            try:
                conn.execute("never answered")
            except qel_zmq.QelError as error:
                errors.append(error)

        previous = signal.signal(signal.SIGUSR1, lambda *_: None)
        worker = threading.Thread(target=run, daemon=True)
        try:
            worker.start()
            for _ in range(200):  # 10 s at most; repeated in case a signal lands early
                try:
                    signal.pthread_kill(worker.ident, signal.SIGUSR1)
                except ProcessLookupError:
                    break
                worker.join(0.05)
                if not worker.is_alive():
                    break
        finally:
            signal.signal(signal.SIGUSR1, previous)
        assert not worker.is_alive() and len(errors) == 1
        assert "Interrupted system call" in capfd.readouterr().err
        closer = threading.Thread(target=conn.close, daemon=True)
        closer.start()
        closer.join(10)
        assert not closer.is_alive(), "close() is waiting to deliver the queued request"
        assert conn.closed

    HOST = (
        "import signal, sys, threading, time, qel_zmq\n"
        "mode, port = sys.argv[1], int(sys.argv[2])\n"
        "signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started ignored\n"
        "conn = qel_zmq.Connection('127.0.0.1', port)\n"
        "def announce():  # once the call is under way\n"
        "    for _ in range(3000):\n"
        "        if conn._lock.locked():\n"
        "            break\n"
        "        time.sleep(0.01)\n"
        "    print('waiting', flush=True)\n"
        "threading.Thread(target=announce, daemon=True).start()\n"
        "if mode == 'exit':\n"
        "    conn.execute('return 1')  # the interrupt ends the interpreter with the handle\n"
        "with conn:\n"
        "    if mode == 'thread':  # SIGINT must reach the main thread, not end the call\n"
        "        def run():\n"
        "            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})\n"
        "            conn.execute('return 1')\n"
        "        worker = threading.Thread(target=run, daemon=True)\n"
        "        worker.start()\n"
        "        worker.join()\n"
        "    try:\n"
        "        conn.execute('return 1')\n"
        "    except KeyboardInterrupt:\n"
        "        try:\n"
        "            conn.execute('return 2')\n"
        "        except qel_zmq.QelError as error:\n"
        "            print(error, flush=True)\n"
        "        raise\n")

    @pytest.mark.parametrize("mode", ["main", "exit", "thread"])
    def test_ctrl_c_ends_a_host_waiting_for_an_answer(self, library, mode):
        env = dict(os.environ, PYTHONPATH=BINDING_DIR, QEL_ZMQ_LIBRARY=library._name)
        process = subprocess.Popen([sys.executable, "-c", self.HOST, mode, str(unused_port())],
                                   env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True)
        try:
            assert process.stdout.readline() == "waiting\n"
            process.send_signal(signal.SIGINT)
            out, err = process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            pytest.fail(f"the host did not end on SIGINT ({mode})")
        assert process.returncode == -signal.SIGINT
        assert err.rstrip().endswith("KeyboardInterrupt"), err
        assert ("interrupted" in out) == (mode == "main"), out

    def test_forked_child_exits_without_freeing_the_parents_handle(self, library):
        script = (
            "import os, sys, qel_zmq\n"
            "conn = qel_zmq.Connection('127.0.0.1', int(sys.argv[1]))\n"
            "pid = os.fork()\n"
            "if pid == 0:\n"
            "    conn.close()\n"
            "    sys.exit(7)\n"
            "_, status = os.waitpid(pid, 0)\n"
            "conn.close()\n"
            "print(os.waitstatus_to_exitcode(status), conn.closed)\n")
        env = dict(os.environ, PYTHONPATH=BINDING_DIR, QEL_ZMQ_LIBRARY=library._name)
        process = subprocess.Popen([sys.executable, "-c", script, str(unused_port())],
                                   env=env, stdout=subprocess.PIPE, text=True,
                                   start_new_session=True)
        try:
            out, _ = process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)  # the parent and its hung child
            process.communicate()
            pytest.fail("a forked child hung freeing its copy of the parent's handle")
        assert process.returncode == 0
        assert out == "7 True\n"


class TestAsync:
    def test_cancel_leaves_the_loop_running_and_the_connection_unusable(self, library):
        tracked = Tracked(library)

        async def main():
            conn = qel_zmq.AsyncConnection("127.0.0.1", unused_port(), library=tracked)
            task = asyncio.ensure_future(conn.execute("never answered"))
            for _ in range(3000):  # the loop turns while the call waits
                if tracked.executing.is_set():
                    break
                await asyncio.sleep(0.01)
            assert tracked.executing.is_set()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            with pytest.raises(qel_zmq.QelError, match="cancelled"):
                await conn.call("return ...", 1)
            conn.close()  # must not wait for the call still inside the library
            return conn

        runner = threading.Thread(target=lambda: outcome.append(asyncio.run(main())),
                                  daemon=True)
        outcome = []
        runner.start()
        runner.join(60)
        assert not runner.is_alive(), "the event loop was blocked"
        assert outcome[0].closed and tracked.executing.is_set()
        assert tracked.calls == ["create", "connect", "execute"]  # the handle stays with it


class TestLoading:
    def test_explicit_path_that_does_not_load(self, tmp_path):
        missing = tmp_path / "libnothing.so"
        with pytest.raises(OSError, match="libnothing.so"):
            qel_zmq.load_library(missing)

    def test_variable_is_used_alone(self, monkeypatch, tmp_path):
        monkeypatch.setenv("QEL_ZMQ_LIBRARY", str(tmp_path / "gone.so"))
        with pytest.raises(OSError, match="QEL_ZMQ_LIBRARY.*gone.so"):
            qel_zmq.load_library()

    def test_library_without_the_functions_is_refused(self):
        libc = ctypes.util.find_library("c")
        with pytest.raises(OSError, match="createConnectionHandle"):
            qel_zmq.load_library(libc)

    def test_explicit_path_loads_a_working_library(self, library, echo):
        with qel_zmq.Connection("127.0.0.1", echo.port, library=library._name) as conn:
            assert conn.execute("by path") == "by path"

    def test_system_search_finds_the_library_on_the_loader_path(self, library):
        env = dict(os.environ, PYTHONPATH=BINDING_DIR,
                   LD_LIBRARY_PATH=os.path.dirname(os.path.abspath(library._name)))
        env.pop("QEL_ZMQ_LIBRARY", None)
        code = ("import qel_zmq; c = qel_zmq.Connection(); "
                "print(c.closed, qel_zmq.__version__); c.close(); print(c.closed)")
        done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                              text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        # The binding's version is the project's, which ctest passes on from CMake.
        assert done.stdout == "False %s\nTrue\n" % os.environ.get("QEL_ZMQ_VERSION",
                                                                 qel_zmq.__version__)

    def test_failed_search_names_what_was_tried(self, monkeypatch):
        monkeypatch.delenv("QEL_ZMQ_LIBRARY", raising=False)
        monkeypatch.setattr(ctypes.util, "find_library", lambda name: None)
        monkeypatch.setattr(sys, "platform", "win32")
        with pytest.raises(OSError, match="neither qel_zmq nor QEL_ZMQ"):
            qel_zmq.load_library()

    def test_failed_search_on_linux_also_tries_the_soname(self):
        # In a fresh process: this one already holds the library under that soname.
        env = {k: v for k, v in os.environ.items()
               if k not in ("QEL_ZMQ_LIBRARY", "LD_LIBRARY_PATH")}
        env["PYTHONPATH"] = BINDING_DIR
        code = ("import ctypes.util, qel_zmq\n"
                "ctypes.util.find_library = lambda name: None\n"
                "try:\n    qel_zmq.load_library()\n"
                "except OSError as error:\n    print(error)\n")
        done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                              text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert "library search" in done.stdout and "'libqel_zmq.so.1'" in done.stdout

"""test_service.py - the Python binding against the real qel-lua-service.

Results, Lua errors, non-ASCII text, large replies, memory over thousands of calls,
use after close, and threads sharing one Connection, all over 127.0.0.1.
"""
import gc
import os
import threading

import pytest

import qel_zmq


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_threads(count, target):
    """Runs target(index) in `count` threads started together; re-raises their failures."""
    start = threading.Barrier(count)
    failures = []

    def body(index):
        try:
            start.wait(timeout=30)
            target(index)
        except BaseException as error:  # reported by the main thread below
            failures.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    if failures:
        raise failures[0]


class TestAnswers:
    def test_result_is_the_returned_value(self, conn):
        assert conn.execute("return 6*7") == "42"
        assert conn.execute_bytes(b"return 6*7") == b"42"

    def test_lua_error_comes_back_as_the_answer(self, conn):
        # One case end to end; every kind of error reply is in the service's own tests.
        assert conn.execute('error("boom")') == "error: script:1: boom"
        assert conn.execute("return 6*7") == "42"  # the connection stays usable

    def test_non_ascii_text_travels_unchanged_both_ways(self, conn):
        # The length the service sees proves it got the UTF-8 bytes, not something else.
        text = "h\u00e9llo \u20ac \u4e16\u754c \U0001f600"
        script = f'local s = "{text}" return s, #s'
        assert conn.execute(script) == f"{text}\t{len(text.encode())}"
        assert conn.execute("return string.char(0xc3, 0xa9)") == "\u00e9"
        # Bytes that are not UTF-8 come back as they are.
        assert conn.execute_bytes(b'return "\xe9\xff"') == b"\xe9\xff"
        assert conn.execute('return "\u00e9"', encoding="latin-1") == "\u00e9"

    def test_one_mebibyte_reply(self, conn):
        answer = conn.execute_bytes('return string.rep("x", 1 << 20)')
        assert len(answer) == 1 << 20
        assert answer.count(b"x") == 1 << 20
        text = conn.execute('return string.rep("\u00e9", 1 << 19)')
        assert text == "\u00e9" * (1 << 19)


class TestResources:
    def test_thousands_of_calls_do_not_grow_memory(self, conn):
        # 128 KiB answers: 2000 buffers not given back would add 256 MiB.
        script = 'return string.rep("m", 128 * 1024)'
        for _ in range(200):  # let the allocators reach their steady state
            conn.execute_bytes(script)
        gc.collect()
        before = resident_bytes()
        for i in range(2000):
            assert len(conn.execute_bytes(script)) == 128 * 1024, f"call {i}"
        gc.collect()
        grown = resident_bytes() - before
        assert grown < 32 * 1024 * 1024, f"resident memory grew by {grown} bytes"

    def test_every_answer_buffer_is_given_back(self, tracked, service):
        with qel_zmq.Connection(service.host, service.port, library=tracked) as conn:
            for i in range(50):
                assert conn.execute(f"return {i}") == str(i)
            with pytest.raises(UnicodeDecodeError):
                conn.execute('return "\\255"')
        assert tracked.calls.count("execute") == tracked.calls.count("freeResult") == 51

    def test_use_after_close_raises_instead_of_crashing(self, library, service):
        conn = qel_zmq.Connection(service.host, service.port, library=library)
        assert conn.execute("return 1") == "1"
        conn.close()
        for call in (lambda: conn.execute("return 1"),
                     lambda: conn.execute_bytes(b"return 1"),
                     lambda: conn.connect(service.host, service.port)):
            with pytest.raises(qel_zmq.QelError, match="closed"):
                call()
        with qel_zmq.Connection(service.host, service.port, library=library) as other:
            pass
        with pytest.raises(qel_zmq.QelError):
            other.execute("return 1")

    def test_connections_come_and_go(self, library, service):
        for i in range(100):
            with qel_zmq.Connection(service.host, service.port, library=library) as conn:
                assert conn.execute(f"return {i} * 2") == str(i * 2)


class TestThreads:
    def test_threads_sharing_one_connection_get_their_own_answers(self, conn):
        def work(index):
            for i in range(200):
                answer = conn.execute(f'return "{index}:{i}:" .. ({i} * {index + 1})')
                assert answer == f"{index}:{i}:{i * (index + 1)}"

        run_threads(4, work)

    def test_threads_with_a_connection_each(self, library, service):
        def work(index):
            with qel_zmq.Connection(service.host, service.port, library=library) as own:
                for i in range(100):
                    assert own.execute(f"return {index} * 1000 + {i}") == str(index * 1000 + i)

        run_threads(4, work)

    def test_close_waits_for_a_running_execute(self, tracked, service):
        conn = qel_zmq.Connection(service.host, service.port, library=tracked)
        n = 50_000_000  # a few tenths of a second of Lua work
        answers = []
        worker = threading.Thread(target=lambda: answers.append(
            conn.execute(f"local n = 0 for i = 1, {n} do n = n + i end return n")))
        worker.start()
        assert tracked.executing.wait(timeout=30)
        conn.close()  # must not free the handle under the running call
        worker.join(timeout=60)
        assert answers == [str(n * (n + 1) // 2)]
        assert tracked.calls[-3:] == ["execute", "freeResult", "freeHandle"]
        with pytest.raises(qel_zmq.QelError, match="closed"):
            conn.execute("return 1")

"""test_qel_zmq.py - the Python binding against a real ZeroMQ REP peer on 127.0.0.1.

The peer runs in a thread with a bounded poll loop and answers with whatever the test
asked for, so the binding's copy-then-free and error paths are exercised for real.
"""
import os
import sys
import threading

import pytest
import zmq

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
import qel_zmq  # noqa: E402


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
def library():
    return qel_zmq.load_library()


@pytest.fixture
def echo():
    peer = Peer(lambda request: [request])
    yield peer
    peer.close()


def test_round_trip_text_and_bytes(library, echo):
    with qel_zmq.Connection(library).connect("127.0.0.1", echo.port) as conn:
        assert conn.execute("return 'h\u00e9'") == "return 'h\u00e9'"
        assert conn.execute_bytes(b"\x01\xff") == b"\x01\xff"
        assert conn.execute("") == ""
    assert echo.requests == ["return 'h\u00e9'".encode(), b"\x01\xff", b""]


def test_answer_is_cut_at_nul_and_extra_parts_dropped(library):
    peer = Peer(lambda request: [b"abc\0def", b"second part"])
    try:
        with qel_zmq.Connection(library).connect("127.0.0.1", peer.port) as conn:
            assert conn.execute("x") == "abc"
            assert conn.execute("y") == "abc"  # the handle stayed usable
    finally:
        peer.close()


def test_refused_endpoint_raises(library, capfd):
    with qel_zmq.Connection(library) as conn:
        with pytest.raises(qel_zmq.QelError):
            conn.connect("127.0.0.1", -1)
    assert capfd.readouterr().out == "Invalid argument"


def test_nul_in_script_is_refused_before_the_call(library, echo):
    with qel_zmq.Connection(library).connect("127.0.0.1", echo.port) as conn:
        with pytest.raises(ValueError):
            conn.execute("return 1\0 --")
        assert conn.execute("ok") == "ok"
    assert echo.requests == [b"ok"]


def test_close_is_idempotent(library):
    conn = qel_zmq.Connection(library)
    conn.close()
    conn.close()

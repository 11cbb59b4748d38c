"""conftest.py - shared fixtures of the Python binding's tests: the loaded library, a
wrapper around it that tracks handles and result buffers, and one real qel-lua-service
child process for the whole session (its path comes from $QEL_LUA_SERVICE).
"""
import ctypes
import os
import selectors
import subprocess
import sys
import threading

import pytest

BINDING_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, BINDING_DIR)
import qel_zmq  # noqa: E402


class Service:
    """A qel-lua-service child bound to a port the system chose on 127.0.0.1."""

    def __init__(self, path):
        self.process = subprocess.Popen(
            [path, "--bind", "tcp://127.0.0.1:*"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        try:
            self.endpoint = self._first_line(timeout=20)
            assert self.endpoint.startswith("tcp://127.0.0.1:"), self.endpoint
            self.host = "127.0.0.1"
            self.port = int(self.endpoint.rsplit(":", 1)[1])
        except BaseException:
            self.stop()
            raise

    def _first_line(self, timeout):
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            if not selector.select(timeout):
                raise AssertionError(f"the service printed no endpoint within {timeout} s")
        line = self.process.stdout.readline()
        if not line:
            raise AssertionError(f"the service exited with {self.process.wait(5)} "
                                 "before printing its endpoint")
        return line.strip()

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
        self.process.stdout.close()


class Tracked:
    """The real library, recording which handles and result buffers are still out."""

    def __init__(self, lib):
        self.lib = lib
        self.handles = set()
        self.results = set()
        self.calls = []
        self.executing = threading.Event()  # set while a call is inside the library

    def createConnectionHandle(self):
        handle = self.lib.createConnectionHandle()
        self.handles.add(handle)
        self.calls.append("create")
        return handle

    def freeHandle(self, handle):
        self.handles.remove(handle)  # KeyError: freed twice or never made here
        self.calls.append("freeHandle")
        self.lib.freeHandle(handle)

    def connectToQelLuaService(self, host, port, handle):
        assert handle in self.handles
        self.calls.append("connect")
        return self.lib.connectToQelLuaService(host, port, handle)

    def executeLuaScriptQel(self, result_ref, script, handle):
        assert handle in self.handles
        self.calls.append("execute")
        self.executing.set()
        try:
            status = self.lib.executeLuaScriptQel(result_ref, script, handle)
        finally:
            self.executing.clear()
        if status == 0:
            self.results.add(ctypes.addressof(result_ref._obj.contents))
        return status

    def freeResult(self, result):
        self.results.remove(ctypes.addressof(result.contents))
        self.calls.append("freeResult")
        self.lib.freeResult(result)


@pytest.fixture
def tracked(library):
    lib = Tracked(library)
    yield lib
    assert lib.results == set(), "a result buffer was not given back"
    assert lib.handles == set(), "a handle was not freed"


@pytest.fixture(scope="session")
def library():
    return qel_zmq.load_library()


@pytest.fixture(scope="session")
def service_path():
    path = os.environ.get("QEL_LUA_SERVICE")
    if not path:
        pytest.skip("QEL_LUA_SERVICE is not set to a qel-lua-service binary")
    return path


@pytest.fixture(scope="session")
def service(service_path):
    started = Service(service_path)
    yield started
    started.stop()


@pytest.fixture
def conn(library, service):
    with qel_zmq.Connection(service.host, service.port, library=library) as connection:
        yield connection

"""test_service.py - the Python binding against the real qel-lua-service.

Results, Lua errors, arguments of every kind (the hostile strings of
tests/corpus/hostile_strings.txt among them), non-ASCII text, large replies, memory over
thousands of calls, use after close, threads sharing one Connection, and asyncio, all
over 127.0.0.1.
"""
import asyncio
import gc
import os
import re
import struct
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


# Renders the script's arguments canonically: floats by their bits, strings by their
# bytes in hex, tables by their sorted pairs, so that `rendered` below can predict it.
RENDER = """local function hex(s)
  return (s:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end
local function r(v)
  local t = math.type(v) or type(v)
  if t == "integer" then return "i" .. v
  elseif t == "float" then return v ~= v and "nan" or "f" .. hex(string.pack("<d", v))
  elseif t == "string" then return "s" .. hex(v)
  elseif t == "table" then
    local parts = {}
    for k, x in pairs(v) do parts[#parts + 1] = r(k) .. "=" .. r(x) end
    table.sort(parts)
    return "{" .. table.concat(parts, ",") .. "}"
  end
  return tostring(v)
end
local out = {}
for i = 1, select("#", ...) do out[i] = r((select(i, ...))) end
return table.concat(out, "|")"""


def rendered(value):
    if value is None or isinstance(value, bool):
        return str(value).lower().replace("none", "nil")
    if isinstance(value, int):
        return f"i{value}"
    if isinstance(value, float):
        return "nan" if value != value else "f" + struct.pack("<d", value).hex()
    if isinstance(value, (str, bytes, bytearray, memoryview)):
        return "s" + (value.encode() if isinstance(value, str) else bytes(value)).hex()
    pairs = value.items() if isinstance(value, dict) else enumerate(value, 1)
    return "{" + ",".join(sorted(f"{rendered(k)}={rendered(v)}"
                                 for k, v in pairs if v is not None)) + "}"


# The corpus that the C and C# argument writers' tests send too; ctest names it, and a run
# by hand reads the source tree's.
CORPUS = os.environ.get("QEL_HOSTILE_STRINGS") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "corpus",
    "hostile_strings.txt")
CORPUS_VALUE = re.compile(rb"-|(?:[0-9A-Fa-f]{2})+")


def hostile_strings():
    """The corpus's values as bytes: one a line in hexadecimal ("-" for the empty one), a
    note after a space, "#" lines and blank lines skipped; any other line fails."""
    with open(CORPUS, "rb") as corpus:
        lines = corpus.read().split(b"\n")
    values = []
    for number, line in enumerate(lines, 1):
        if not line or line.startswith(b"#"):
            continue
        digits = line.split(b" ", 1)[0]
        assert CORPUS_VALUE.fullmatch(digits), f"{CORPUS}:{number}: not a value: {line!r}"
        values.append(b"" if digits == b"-" else bytes.fromhex(digits.decode("ascii")))
    assert values, f"{CORPUS} holds no value"
    return values


def as_arguments(strings):
    """Each string as bytes, and as str too when it is UTF-8: both ways into a literal."""
    arguments = []
    for data in strings:
        arguments.append(data)
        try:
            arguments.append(data.decode("utf-8"))
        except UnicodeDecodeError:
            pass
    return arguments


VALUES = [None, True, False, 0, -1, 2**63 - 1, -(2**63), 0.0, -0.0, 0.1, -2.25, 1e308,
          5e-324, -5e-324, float("inf"), float("-inf"), float("nan"), bytearray(b"\xff\0"),
          memoryview(b"mv"), (), [1, [2, [3, "x"]], None, 4.5], {"k": [1.5], 7: True,
          -0.5: b"v", True: "t", b"\0": {}}, None]


def test_the_corpus_holds_strings_of_both_kinds():
    # Read without the service too: a corpus gone or emptied fails here, not by a skip.
    strings = hostile_strings()
    assert len(as_arguments(strings)) > len(strings), "no value is UTF-8"
    assert len(as_arguments(strings)) < 2 * len(strings), "every value is UTF-8"


class TestCall:
    def test_every_argument_arrives_exactly(self, conn):
        arguments = as_arguments(hostile_strings()) + VALUES
        assert conn.call(RENDER, *arguments).split("|") == \
            [rendered(value) for value in arguments]

    def test_script_keeps_its_line_numbers_and_its_results(self, conn):
        assert conn.call("local a = ...\nerror('two ' .. a)", "x") == "error: script:2: two x"
        assert conn.call("return select('#', ...)") == "0"
        assert conn.call("return ... -- a comment on the last line", 1, "b") == "1\tb"
        assert conn.call_json("local n, t = ...\nreturn json.encode({sum = n + 1, t = t})",
                              41, {"k": [1, 2.5, "\u00e9"]}) == {"sum": 42,
                                                               "t": {"k": [1, 2.5, "\u00e9"]}}
        with pytest.raises(qel_zmq.QelError, match="^error: script:1: no$"):
            conn.call_json("error('no')")


class TestAsync:
    def test_calls_in_order_and_their_errors(self, library, service):
        async def main():
            async with qel_zmq.AsyncConnection(service.host, service.port,
                                               library=library) as conn:
                answers = await asyncio.gather(conn.execute("return 6*7"),
                                               conn.call("return ... .. '!'", "\u00e9"),
                                               conn.call_json("return '[' .. ... .. ']'", 5),
                                               conn.execute_bytes(b"return 'b'"))
                with pytest.raises(ValueError):
                    await conn.call("return ...", 2**63)
                return answers, conn
        answers, conn = asyncio.run(main())
        assert answers == ["42", "\u00e9!", [5], b"b"]
        assert conn.closed


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

    def test_close_during_a_running_execute_leaves_the_free_to_it(self, tracked, service):
        conn = qel_zmq.Connection(service.host, service.port, library=tracked)
        n = 50_000_000  # a few tenths of a second of Lua work
        answers = []
        worker = threading.Thread(target=lambda: answers.append(
            conn.execute(f"local n = 0 for i = 1, {n} do n = n + i end return n")))
        worker.start()
        assert tracked.executing.wait(timeout=30)
        conn.close()  # returns at once; must not free the handle under the running call
        worker.join(timeout=60)
        assert answers == [str(n * (n + 1) // 2)]
        assert tracked.calls[-3:] == ["execute", "freeResult", "freeHandle"]
        with pytest.raises(qel_zmq.QelError, match="closed"):
            conn.execute("return 1")

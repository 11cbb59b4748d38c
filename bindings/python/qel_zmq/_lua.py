"""_lua.py - the script text that call() sends: the script as the body of a vararg
function, called with each argument written as a Lua literal that no value can break out
of; and the reading of call_json()'s answer.
"""
import json
import re
from typing import Any, List, Set, Tuple

from . import QelError
from ._native import Text, _as_bytes


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


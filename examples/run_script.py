#!/usr/bin/env python3
"""run_script.py - the Python counterpart of run_script.c: connect, run one script, print
the answer. Usage: run_script.py HOST PORT SCRIPT (exit 0, or 2 on any failure)."""
import os
import sys

try:
    import qel_zmq
except ImportError:  # not installed: use the binding next to this checkout's examples
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                    "..", "bindings", "python"))
    import qel_zmq


def main(argv):
    if len(argv) != 4 or not argv[2].lstrip("-").isdigit():
        print(f"usage: {argv[0]} HOST PORT SCRIPT", file=sys.stderr)
        return 2
    try:
        # os.fsencode gives back the argument's bytes exactly as the shell passed them.
        with qel_zmq.Connection(os.fsencode(argv[1]), int(argv[2])) as conn:
            answer = conn.execute_bytes(os.fsencode(argv[3]))
    except (OSError, ValueError, qel_zmq.QelError) as error:
        print(error, file=sys.stderr)
        return 2
    sys.stdout.buffer.write(answer + b"\n")  # the answer's bytes, undecoded
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Drive the interactive Python interpreter through quillo with custom markers.

    python examples/python_repl.py

A session runs one program name without arguments, so the command is the
absolute path of this interpreter. No "-i" is needed: on a terminal Python is
interactive by itself. Its prompts are ">>> " and, inside an unfinished
statement, "... "; both are ready markers, so every wait ends as soon as the
interpreter asks for the next line.
"""

from __future__ import annotations

import os
import sys
import time

from quillo import Quillo

MARKERS = [">>> ", "... "]
TIMEOUT_MS = 10_000

# Lines as a person would type them. The blank line closes the `def`.
LINES = [
    "21 * 2",
    "def greet(name):",
    "    return f'hello, {name}'",
    "",
    "greet('quillo')",
    "print('\\x1b[1;31mbold red\\x1b[0m and a tab:\\tdone')",
    "import time; time.sleep(0.3); print('after a pause')",
    "1 / 0",
]


def show(call: str, text: str, elapsed: float) -> None:
    print(f"\n>>> s.{call}    # {elapsed:.2f} s")
    for line in text.splitlines(keepends=True) or [""]:
        print(f"    {line!r}")


def main() -> int:
    # Python 3.13's new interactive shell redraws the line with escape
    # sequences; the plain one is easier to follow. PYTHONSTARTUP could print.
    os.environ["PYTHON_BASIC_REPL"] = "1"
    os.environ.pop("PYTHONSTARTUP", None)

    command = sys.executable
    print(f">>> s = Quillo({command!r}, True, {MARKERS!r})")
    s = Quillo(command, True, MARKERS)
    try:
        start = time.monotonic()
        banner = s.read_until_ready(timeout_ms=TIMEOUT_MS)
        show(f"read_until_ready(timeout_ms={TIMEOUT_MS})", banner, time.monotonic() - start)
        if not banner.endswith(">>> "):
            raise SystemExit("python_repl: no '>>> ' prompt after the banner")

        for line in LINES:
            start = time.monotonic()
            reply = s.send_and_read_until_ready(line, timeout_ms=TIMEOUT_MS)
            show(f"send_and_read_until_ready({line!r})", reply, time.monotonic() - start)
            if not reply.endswith(tuple(MARKERS)):
                raise SystemExit(f"python_repl: no prompt after {line!r}")

        start = time.monotonic()
        reply = s.send_and_read_until_ready("exit()", timeout_ms=TIMEOUT_MS)
        show("send_and_read_until_ready('exit()')", reply, time.monotonic() - start)
        # The interpreter is on its way out; give it a moment to be reaped.
        deadline = time.monotonic() + 5
        while s.is_alive() and time.monotonic() < deadline:
            time.sleep(0.02)
        print(f"\n>>> s.is_alive()\n    {s.is_alive()!r}")
    finally:
        s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Drive /bin/sh without knowing its prompt: a non-interactive (quiet) session.

    python examples/quiet_shell.py

With `interactive=False` quillo never looks for a prompt: every wait ends once
the output has been quiet for `quiet_ms` milliseconds (80 by default) after it
began, or at the deadline if nothing comes at all. That fits programs whose
prompt is unknown, changes, or does not exist.

The price: output that pauses for longer than `quiet_ms` is cut at the pause,
and a wait during which nothing at all is printed lasts the whole
`timeout_ms`. Both are shown below, with `read_available` picking up the rest.
The script exits with status 1 if the shell did not answer as shown.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable

from quillo import Quillo


def show(call: str, text: str, elapsed: float) -> None:
    print(f"\n>>> s.{call}    # {elapsed:.2f} s")
    for line in text.splitlines(keepends=True) or [""]:
        print(f"    {line!r}")


def check(condition: bool, message: str) -> None:
    if not condition:
        raise SystemExit(f"quiet_shell: {message}")


def timed(call: str, run: Callable[[], str]) -> str:
    start = time.monotonic()
    text = run()
    show(call, text, time.monotonic() - start)
    return text


def main() -> int:
    print('>>> s = Quillo("/bin/sh", False)')
    s = Quillo("/bin/sh", False)
    try:
        # The shell's first prompt (whatever it is) arrives, then silence.
        timed("read_until_ready(timeout_ms=5000)", lambda: s.read_until_ready(timeout_ms=5000))

        hello = timed(
            "send_and_read_until_ready('echo hello from $0')",
            lambda: s.send_and_read_until_ready("echo hello from $0"),
        )
        check("hello from /bin/sh\n" in hello, "echo did not answer")
        timed(
            "send_and_read_until_ready('for i in 1 2 3; do echo line $i; done')",
            lambda: s.send_and_read_until_ready("for i in 1 2 3; do echo line $i; done"),
        )

        # A pause longer than quiet_ms ends the wait early ...
        slow = "echo first; sleep 0.5; echo second"
        cut = timed(
            f"send_and_read_until_ready({slow!r})",
            lambda: s.send_and_read_until_ready(slow),
        )
        check("first" in cut and "second" not in cut, "the quiet wait did not end at the pause")
        # ... and the rest stays queued for the next read: read_available()
        # takes what has arrived so far without waiting, so poll it.
        def rest_of_it() -> str:
            rest, deadline = "", time.monotonic() + 10
            while "second" not in rest and time.monotonic() < deadline:
                time.sleep(0.05)
                rest += s.read_available()
            return rest

        rest = timed("read_available() until 'second' has come", rest_of_it)
        check("second" in rest, "read_available did not return the rest")

        # The same command with a quiet time longer than its pause.
        whole = timed(
            f"send_and_read_until_ready({slow!r}, quiet_ms=1500)",
            lambda: s.send_and_read_until_ready(slow, quiet_ms=1500),
        )
        check("first\nsecond\n" in whole, "quiet_ms=1500 did not bridge the pause")

        # When no output comes at all, the wait lasts its whole timeout_ms
        # (here nothing is pending: the shell is waiting for input).
        timed("read_until_ready(timeout_ms=300)", lambda: s.read_until_ready(timeout_ms=300))

        timed("send_and_read_until_ready('exit')", lambda: s.send_and_read_until_ready("exit"))
        deadline = time.monotonic() + 5
        while s.is_alive() and time.monotonic() < deadline:
            time.sleep(0.02)
        print(f"\n>>> s.is_alive()\n    {s.is_alive()!r}")
    finally:
        s.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Drive gdb through quillo the way an agent would, and show what it gets back.

    python examples/gdb_session.py          (or: scripts/demo.sh)

The script compiles a small C program with the system compiler (cc -g -O0)
into a temporary directory, starts gdb on a pseudo-terminal and walks through
a short debugging session: set a breakpoint, run, step, print a variable, take
a backtrace, continue into a loop that never ends, interrupt it with Ctrl-C,
inspect again, kill the program and quit.

Every call is printed as Python, followed by the exact string quillo returned,
written as a Python string literal cut after each line feed, so trailing blanks
and tabs stay visible.  A `#` line says what the agent concludes from it.

The exit status is 0 only if the session went as described.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import NoReturn

from quillo import Quillo

PROGRAM = r"""
#include <stdio.h>

static volatile unsigned long ticks;

static int square(int x)
{
    return x * x;
}

int add(int a, int b)
{
    int sum = a + b;
    sum += square(b);
    return sum;
}

int main(void)
{
    int total = add(2, 3);
    printf("total = %d\n", total);
    fflush(stdout);
    for (;;)
        ticks++; /* spins until interrupted */
    return 0;
}
"""

PROMPT = "(gdb) "
# gdb asks before killing or quitting a running program; with these as extra
# ready markers such a question ends the wait like a prompt does.
QUERIES = ("(y or n) ", "(y or [n]) ", "([y] or n) ")

STARTUP_MS = 15_000  # the first start of gdb can be slow on a cold machine
COMMAND_MS = 10_000  # an upper bound; a command normally answers in milliseconds
RUNNING_MS = 1_500  # how long to watch a program that is expected to keep running


def show_text(text: str) -> None:
    """Prints `text` as adjacent Python string literals, one per line."""
    if not text:
        print("    ''")
        return
    for line in text.splitlines(keepends=True):
        print(f"    {line!r}")


def note(message: str) -> None:
    print(f"  # {message}")


def fail(message: str) -> NoReturn:
    raise SystemExit(f"gdb_session: {message}")


class Agent:
    """Sends commands, prints the transcript, answers gdb's yes/no questions."""

    def __init__(self, session: Quillo) -> None:
        self.session = session

    def read(self, timeout_ms: int) -> str:
        start = time.monotonic()
        text = self.session.read_until_ready(timeout_ms=timeout_ms)
        self._report(f"read_until_ready(timeout_ms={timeout_ms})", text, start, timeout_ms)
        return text

    def send(self, command: str, timeout_ms: int = COMMAND_MS) -> str:
        start = time.monotonic()
        text = self.session.send_and_read_until_ready(command, timeout_ms=timeout_ms)
        call = f"send_and_read_until_ready({command!r}, timeout_ms={timeout_ms})"
        self._report(call, text, start, timeout_ms)
        if text.endswith(QUERIES):
            note("gdb asks for confirmation: answer y")
            text += self.send("y", timeout_ms)
        return text

    def ctrl_c(self) -> None:
        print("\n>>> s.send_ctrl_c()")
        self.session.send_ctrl_c()

    def _report(self, call: str, text: str, start: float, timeout_ms: int) -> None:
        elapsed = time.monotonic() - start
        print(f"\n>>> s.{call}")
        show_text(text)
        if text.endswith(PROMPT):
            note(f"ready: the reply ends with the prompt ({elapsed:.2f} s)")
        elif text.endswith(QUERIES):
            pass  # `send` explains
        elif elapsed * 1000 < timeout_ms - 100:
            note(f"no prompt, but the wait ended early ({elapsed:.2f} s): gdb's output has closed")
        else:
            note(f"no prompt at the end: the wait ran out after {elapsed:.2f} s")


def compile_program(directory: Path) -> Path:
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        fail("no C compiler (cc or gcc) on PATH")
    (directory / "counter.c").write_text(PROGRAM)
    # Compiled from inside the directory, so gdb names the source "counter.c".
    subprocess.run([cc, "-g", "-O0", "-o", "counter", "counter.c"], cwd=directory, check=True)
    return directory / "counter"


def run_session(binary: Path) -> None:
    # The session's child inherits this environment. Without this gdb could
    # stop at start-up to ask whether to download debug information.
    os.environ.pop("DEBUGINFOD_URLS", None)

    print(f'>>> s = Quillo("gdb", True, {[PROMPT, *QUERIES]!r})')
    session = Quillo("gdb", True, [PROMPT, *QUERIES])
    agent = Agent(session)
    try:
        banner = agent.read(STARTUP_MS)
        if not banner.endswith(PROMPT):
            fail("gdb did not show its prompt")

        # The terminal is 24 rows high: without this, long output would stop
        # at gdb's "--Type <RET> for more" pager.
        agent.send("set pagination off")
        if "Reading symbols" not in agent.send(f"file {binary}"):
            fail("gdb did not load the program")
        agent.send("break add")

        stopped = agent.send("run", STARTUP_MS)
        if "Breakpoint 1, add (a=2, b=3)" not in stopped:
            fail("the program did not stop at the breakpoint")
        agent.send("next")
        if "= 5" not in agent.send("print sum"):
            fail("print sum did not show 5")
        if "square (x=3)" not in agent.send("step"):
            fail("step did not enter square")
        backtrace = agent.send("bt")
        if "in add" not in backtrace or "in main" not in backtrace:
            fail("the backtrace lacks add or main")

        running = agent.send("continue", RUNNING_MS)
        if running.endswith(PROMPT):
            fail("the program stopped although it should spin")
        note("the program spins: interrupt it")
        agent.ctrl_c()
        interrupted = agent.read(COMMAND_MS)
        if "SIGINT" not in interrupted or not interrupted.endswith(PROMPT):
            fail("Ctrl-C did not bring the prompt back")
        agent.send("print ticks")

        if "killed" not in agent.send("kill"):
            fail("kill did not end the program")
        agent.send("quit")

        deadline = time.monotonic() + 5
        while session.is_alive() and time.monotonic() < deadline:
            time.sleep(0.02)
        print(f"\n>>> s.is_alive()\n    {session.is_alive()!r}")
        history = session.get_history()
        print(f"\n>>> len(s.get_history())\n    {len(history)}")
    finally:
        session.close()
        print("\n>>> s.close()")


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="quillo-gdb-") as tmp:
        binary = compile_program(Path(tmp))
        print(f"# debugging {binary} (cc -g -O0) with gdb through quillo\n")
        run_session(binary)
    return 0


if __name__ == "__main__":
    sys.exit(main())

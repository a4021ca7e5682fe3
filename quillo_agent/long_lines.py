"""Input lines longer than a terminal in canonical mode holds.

A terminal in canonical mode (the line discipline's default: the program reads
whole lines and has no line editor of its own) holds at most
`CANONICAL_LINE_MAX` bytes of one line; the kernel drops every byte after
that until the line feed, and the program reads a different line than the
one sent. So before a long line is written the terminal's mode is read
(`Terminal.input_state`), and where it is canonical:

- a shell profile (sh, bash) gets the whole text written to a private file
  in the session's launcher directory and runs it in the current shell with
  `. FILE`, so `cd`, variables and functions behave as if typed; the file is
  removed once the shell is ready again (and with the launcher directory);
- every other program refuses it with `LineTooLong` before anything of the
  text is written.

Programs in raw mode (their own line editor: gdb, the Python REPL) get long
lines as they are.
"""

from __future__ import annotations

import os
from collections.abc import Sequence

from .errors import SessionError

__all__ = ["CANONICAL_LINE_MAX", "LineTooLong", "ShellScripts", "first_long_line"]

# The most bytes of one line (without its line feed) a canonical terminal keeps:
# the line discipline's 4,096-byte buffer, less the line feed.
CANONICAL_LINE_MAX = 4095


class LineTooLong(SessionError):
    """A line longer than the program's terminal holds; nothing was sent."""


def first_long_line(lines: Sequence[str]) -> int | None:
    """The index of the first line longer than CANONICAL_LINE_MAX bytes, or None."""
    for i, line in enumerate(lines):
        if len(line) > CANONICAL_LINE_MAX // 4 and len(line.encode()) > CANONICAL_LINE_MAX:
            return i
    return None


def refusal(lines: Sequence[str], index: int, program: str, sent: int = 0) -> LineTooLong:
    size = len(lines[index].encode())
    where = f"line {index + 1} of {len(lines)}" if len(lines) > 1 else "the line"
    done = f"; the {sent} line(s) before it were sent" if sent else "; nothing was sent"
    return LineTooLong(
        f"{where} is {size:,} bytes, more than the {CANONICAL_LINE_MAX:,} bytes a terminal "
        f"holds for one line in canonical mode: {program} reads whole lines from its "
        f"terminal, so it would get only the first {CANONICAL_LINE_MAX:,}{done}"
    )


class ShellScripts:
    """Long input for a shell: files in the session's private launcher
    directory, each run by the shell with `. FILE`."""

    def __init__(self, directory: str) -> None:
        self.directory = directory
        self.pending: list[str] = []
        self._count = 0

    def command_for(self, lines: Sequence[str]) -> str:
        self._count += 1
        path = os.path.join(self.directory, f"input-{self._count}.sh")
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        self.pending.append(path)
        return ". '" + path.replace("'", "'\\''") + "'"

    def remove_read(self) -> None:
        """Removes the files written so far: the shell, ready for input again,
        has read each of them."""
        for path in self.pending:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
        self.pending.clear()

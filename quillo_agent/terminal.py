"""A session's pseudo-terminal as the host sees it, to know two facts exactly.

The probe (`probe.py`) says a program is blocked reading its terminal. That
alone does not end a call: the line just sent may still be on its way to the
program, and what the program printed before it blocked may still be on its
way to the session. Each direction passes through the kernel's terminal
buffers, which a worker thread moves on a moment later; `poll` on either end
runs that pending work at once. So:

- **Input taken** (`input_state`): the child's end (`/dev/pts/N`) is opened
  for a moment (never as a controlling terminal), polled, and asked how many
  bytes of input wait in it (FIONREAD) and whether it is in canonical mode
  (termios). A program whose input is still queued has not taken it.
- **Output taken** (`output_in_flight`): one of the session's own master
  descriptors (the core's, found in /proc/self by the terminal's index) is
  polled without being read: readable means output the reader thread has not
  read yet. And the reader thread (found by the descriptor in its own `poll`)
  must be parked in that poll, not holding a chunk it has read but not yet
  queued.

The host's descriptors are only polled, never read, written or closed, and
only from the session's own thread, which is the only one that can close or
replace them (by closing or resetting the session). `received` is the reader
thread's count of bytes read (`/proc/self/task/<tid>/io`), which tells a
status query that output arrived since a call last took everything.
"""

from __future__ import annotations

import array
import fcntl
import os
import platform
import select
import struct
import termios
from dataclasses import dataclass

from .probe import session_leader_terminal

__all__ = ["Terminal", "InputState"]

_READER_THREAD = "quillo_reader"
# The reader's own poll: poll on x86-64, ppoll where poll is not a system call.
_POLL_CALLS = {"x86_64": {7, 271}, "aarch64": {73}}.get(platform.machine(), set())


@dataclass(frozen=True, slots=True)
class InputState:
    pending: int  # bytes of input the program has not read yet
    canonical: bool  # the line discipline collects whole lines (ICANON)


class Terminal:
    """The pseudo-terminal of one child; made on the session's thread after
    each start (a reset makes a new terminal). `path` is None when the child
    has no pseudo-terminal as its controlling terminal any more."""

    def __init__(self, child: int) -> None:
        self.child = child
        self.path = session_leader_terminal(child)
        self.index = int(self.path.rsplit("/", 1)[1]) if self.path else -1
        self.masters = self._find_masters() if self.path else []
        self._reader: int | None = None

    def _find_masters(self) -> list[int]:
        found = []
        for name in os.listdir("/proc/self/fd"):
            try:
                if not os.readlink(f"/proc/self/fd/{name}").endswith("ptmx"):
                    continue
                with open(f"/proc/self/fdinfo/{name}", "rb") as f:
                    info = f.read()
            except OSError:
                continue
            if f"tty-index:\t{self.index}\n".encode() in info:
                found.append(int(name))
        return found

    def input_state(self) -> InputState | None:
        """Input not yet read, and the mode; None if the terminal cannot be opened."""
        if self.path is None:
            return None
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            return None
        try:
            poller = select.poll()
            poller.register(fd, select.POLLIN)
            poller.poll(0)  # runs the terminal's pending buffer work
            count = array.array("i", [0])
            fcntl.ioctl(fd, termios.FIONREAD, count)
            lflag = termios.tcgetattr(fd)[3]
            return InputState(pending=count[0], canonical=bool(lflag & termios.ICANON))
        except OSError:
            return None
        finally:
            os.close(fd)

    def output_in_flight(self) -> bool | None:
        """Whether output may still be on its way to the session's queue;
        None when the host's end cannot be found."""
        if not self.masters:
            return None
        poller = select.poll()
        poller.register(self.masters[0], select.POLLIN)
        if poller.poll(0):
            return True  # unread (or the child's end is gone: then the reader ends)
        reader = self._reader_thread()
        if reader is None:
            return True  # busy: it is found once it rests in its poll
        try:
            with open(f"/proc/self/task/{reader}/syscall", "rb") as f:
                call = f.read().split(maxsplit=1)
        except OSError:
            self._reader = None
            return True
        return not (call and call[0].isdigit() and int(call[0]) in _POLL_CALLS)

    def received(self) -> int | None:
        """Bytes the reader thread has read from the terminal so far."""
        reader = self._reader_thread()
        if reader is None:
            return None
        try:
            with open(f"/proc/self/task/{reader}/io", "rb") as f:
                for line in f:
                    if line.startswith(b"rchar:"):
                        return int(line.split()[1])
        except OSError:
            self._reader = None
        return None

    def _reader_thread(self) -> int | None:
        """The reader thread of this terminal: the `quillo_reader` thread whose
        poll array starts with one of this terminal's master descriptors. Found
        once, while it is parked in its poll."""
        if self._reader is not None or not self.masters:
            return self._reader
        for name in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{name}/comm", "rb") as f:
                    if f.read().strip() != _READER_THREAD.encode():
                        continue
                with open(f"/proc/self/task/{name}/syscall", "rb") as f:
                    words = f.read().split()
                if not (words and words[0].isdigit() and int(words[0]) in _POLL_CALLS):
                    continue
                fd = os.open("/proc/self/mem", os.O_RDONLY | os.O_CLOEXEC)
                try:
                    first = os.pread(fd, 4, int(words[1], 16))
                finally:
                    os.close(fd)
            except (OSError, ValueError, IndexError):
                continue
            if len(first) == 4 and struct.unpack("=i", first)[0] in self.masters:
                self._reader = int(name)
                break
        return self._reader

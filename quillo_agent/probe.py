"""What the program on a session's terminal is doing right now, read from /proc.

The terminal knows its foreground process group (`tpgid` in the session
leader's `/proc/<pid>/stat`); that group is the one the next line of input
goes to. For each thread of each process in it, `/proc/<pid>/task/<tid>/syscall`
shows the system call the thread is blocked in and its arguments. A thread
waits for input when it is blocked

- in `read` or `readv` on the terminal;
- in `poll`/`ppoll` with the terminal in its descriptor array for input, or in
  `select`/`pselect6` with the terminal in its read set (both sets are in the
  process's memory, read through `/proc/<pid>/mem`);
- in `epoll_wait`/`epoll_pwait`/`epoll_pwait2` on an epoll whose interest list
  (`/proc/<pid>/fdinfo/<epfd>`) holds the terminal for input (nested epolls
  are followed a few levels down).

"The terminal" is any descriptor linking to the session's pseudo-terminal
(`/dev/pts/N`) or to `/dev/tty`, which in a process of the terminal's own
session is the same terminal, so a program that opens it itself counts too.

`probe` is a pure function of the session leader's pid, the terminal's path
and /proc. It never guesses: a process it may not inspect (a set-user-ID
program, a stricter ptrace policy), a 32-bit process whose system call
numbers it does not know, or an architecture without a table here makes the
answer `UNKNOWN` unless some other thread is plainly waiting. One probe of
gdb with an inferior reads about twenty small files.
"""

from __future__ import annotations

import collections
import enum
import os
import platform
import struct
from collections.abc import Iterator
from dataclasses import dataclass

__all__ = [
    "State",
    "Observation",
    "probe",
    "still_waiting",
    "session_leader_terminal",
    "MAX_PROCESSES",
]

# The most processes one probe looks at (the leader's tree is walked breadth
# first); a bigger tree makes the answer UNKNOWN unless a waiter was found.
MAX_PROCESSES = 256
# The most descriptors read from a poll array or a select set.
MAX_POLLED_FDS = 4096
# How deep nested epolls are followed.
MAX_EPOLL_DEPTH = 3


class State(str, enum.Enum):
    """What the foreground program is doing."""

    WAITING = "waiting"  # blocked reading the terminal: it waits for input
    RUNNING = "running"  # on a processor, or about to be
    BLOCKED = "blocked"  # blocked in another system call (sleep, wait, a pipe ...)
    STOPPED = "stopped"  # stopped by a signal or a debugger
    EXITED = "exited"  # the session's program has ended
    UNKNOWN = "unknown"  # it could not be inspected


@dataclass(frozen=True, slots=True)
class Observation:
    """One probe's answer: the state, and the process and call it is about.

    For WAITING: the waiting process (`pid`, `program` as in `ps`) and the call
    it waits in (`read`, `poll`, `pselect6`, `epoll_wait` ...). For RUNNING,
    BLOCKED and STOPPED: the first such process of the foreground group
    (`call`: the system call it is blocked in, for BLOCKED). For UNKNOWN:
    `reason` says why. `tid` is the waiting thread (for `still_waiting`).
    """

    state: State
    pid: int | None = None
    program: str | None = None
    call: str | None = None
    reason: str | None = None
    tid: int | None = None

    @property
    def waiting(self) -> bool | None:
        """True when waiting for input, None when unknown, else False."""
        if self.state is State.UNKNOWN:
            return None
        return self.state is State.WAITING


# System call numbers, per architecture. Only these are read as input waits;
# the names are for BLOCKED answers.
_READS = {"read", "readv"}
_POLLS = {"poll", "ppoll"}
_SELECTS = {"select", "pselect6"}
_EPOLLS = {"epoll_wait", "epoll_pwait", "epoll_pwait2"}

_X86_64 = {
    0: "read", 1: "write", 7: "poll", 19: "readv", 20: "writev", 23: "select",
    34: "pause", 35: "nanosleep", 43: "accept", 42: "connect", 45: "recvfrom",
    47: "recvmsg", 61: "wait4", 72: "fcntl", 73: "flock", 16: "ioctl", 202: "futex",
    230: "clock_nanosleep", 232: "epoll_wait", 247: "waitid", 257: "openat",
    270: "pselect6", 271: "ppoll", 281: "epoll_pwait", 288: "accept4",
    128: "rt_sigtimedwait", 130: "rt_sigsuspend", 426: "io_uring_enter",
    441: "epoll_pwait2", 2: "open", 24: "sched_yield", 69: "msgsnd", 70: "msgrcv",
    65: "semop", 44: "sendto", 46: "sendmsg", 17: "pread64", 18: "pwrite64",
}
_AARCH64 = {
    63: "read", 64: "write", 65: "readv", 66: "writev", 72: "pselect6", 73: "ppoll",
    22: "epoll_pwait", 441: "epoll_pwait2", 101: "nanosleep", 115: "clock_nanosleep",
    98: "futex", 260: "wait4", 95: "waitid", 202: "accept", 242: "accept4",
    203: "connect", 207: "recvfrom", 212: "recvmsg", 25: "fcntl", 32: "flock",
    29: "ioctl", 56: "openat", 133: "rt_sigsuspend", 137: "rt_sigtimedwait",
    426: "io_uring_enter", 124: "sched_yield", 67: "pread64",
}
_TABLES = {"x86_64": _X86_64, "aarch64": _AARCH64}
_SYSCALLS: dict[int, str] | None = _TABLES.get(platform.machine())

_POLLIN_ANY = 0x0001 | 0x0002 | 0x0040  # POLLIN, POLLPRI, POLLRDNORM
_EPOLLIN_ANY = 0x0001 | 0x0002 | 0x0040


def _read(path: str, size: int = 4096) -> bytes:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        return os.read(fd, size)
    finally:
        os.close(fd)


@dataclass(slots=True)
class _Stat:
    comm: str
    state: str
    ppid: int
    pgrp: int
    tty_nr: int
    tpgid: int


def _stat(path: str) -> _Stat:
    raw = _read(path).decode("utf-8", "replace")
    close = raw.rindex(")")
    comm = raw[raw.index("(") + 1 : close]
    f = raw[close + 2 :].split()
    return _Stat(comm, f[0], int(f[1]), int(f[2]), int(f[4]), int(f[5]))


def session_leader_terminal(pid: int) -> str | None:
    """The path of the controlling terminal of process `pid` (a pseudo-terminal
    `/dev/pts/N`), or None if it has none or is gone."""
    try:
        tty_nr = _stat(f"/proc/{pid}/stat").tty_nr
    except (OSError, ValueError, IndexError):
        return None
    major = (tty_nr >> 8) & 0xFFF
    minor = (tty_nr & 0xFF) | ((tty_nr >> 12) & 0xFFF00)
    if not 136 <= major <= 143:  # UNIX98_PTY_SLAVE_MAJOR and the majors after it
        return None
    return f"/dev/pts/{(major - 136) * 256 + minor}"


class _Denied(Exception):
    """A process or thread that may not be inspected."""


class _Group:
    """The processes of the foreground group, found by walking the leader's tree."""

    def __init__(self, leader: int, head: _Stat, tpgid: int, terminal: str) -> None:
        self.members: list[_Process] = []
        self.truncated = False
        todo = collections.deque([leader])
        seen = 0
        while todo:
            pid = todo.popleft()
            seen += 1
            if seen > MAX_PROCESSES:
                self.truncated = True
                return
            try:
                st = head if pid == leader else _stat(f"/proc/{pid}/stat")
                tids = os.listdir(f"/proc/{pid}/task")
            except (FileNotFoundError, ProcessLookupError):
                continue  # gone meanwhile
            if st.pgrp == tpgid:
                self.members.append(_Process(pid, terminal, st, tids))
            for tid in tids:
                try:
                    todo.extend(int(c) for c in _read(f"/proc/{pid}/task/{tid}/children").split())
                except (FileNotFoundError, ProcessLookupError):
                    continue


class _Process:
    """One process of the foreground group: its threads and descriptors.
    `stat` (the process's, read during this probe) stands for its main
    thread's state; without it each thread's own is read."""

    def __init__(
        self, pid: int, terminal: str, stat: _Stat | None = None, tids: list[str] | None = None
    ) -> None:
        self.pid = pid
        self.stat = stat
        self.terminals = (terminal, "/dev/tty")
        self._tids = tids

    @property
    def comm(self) -> str | None:
        return self.stat.comm if self.stat else None

    def threads(self) -> Iterator[int]:
        try:
            names = self._tids if self._tids is not None else os.listdir(f"/proc/{self.pid}/task")
        except (FileNotFoundError, ProcessLookupError):
            return
        tids = sorted(int(t) for t in names)
        # The main thread first: its call is the one worth naming.
        if self.pid in tids:
            tids.remove(self.pid)
            tids.insert(0, self.pid)
        yield from tids

    def is_terminal(self, fd: int) -> bool:
        try:
            return os.readlink(f"/proc/{self.pid}/fd/{fd}") in self.terminals
        except (FileNotFoundError, ProcessLookupError):
            return False
        except PermissionError as e:
            raise _Denied(str(e)) from e

    def memory(self, address: int, size: int) -> bytes:
        try:
            fd = os.open(f"/proc/{self.pid}/mem", os.O_RDONLY | os.O_CLOEXEC)
        except PermissionError as e:
            raise _Denied(f"its memory: {e}") from e
        try:
            return os.pread(fd, size, address)
        except OSError:
            return b""  # an address that is not mapped (any more)
        finally:
            os.close(fd)

    def polls_terminal(self, array: int, count: int) -> bool:
        count = min(count, MAX_POLLED_FDS)
        raw = self.memory(array, 8 * count)
        for fd, events, _ in struct.iter_unpack("=ihh", raw[: len(raw) // 8 * 8]):
            if fd >= 0 and events & _POLLIN_ANY and self.is_terminal(fd):
                return True
        return False

    def selects_terminal(self, nfds: int, readfds: int) -> bool:
        if readfds == 0 or nfds <= 0:
            return False
        nfds = min(nfds, MAX_POLLED_FDS)
        raw = self.memory(readfds, (nfds + 63) // 64 * 8)
        for byte_index, byte in enumerate(raw):
            for bit in range(8):
                fd = byte_index * 8 + bit
                if fd < nfds and byte >> bit & 1 and self.is_terminal(fd):
                    return True
        return False

    def epoll_watches_terminal(self, epfd: int, depth: int = 0) -> bool:
        try:
            info = _read(f"/proc/{self.pid}/fdinfo/{epfd}", 65536).decode("ascii", "replace")
        except (FileNotFoundError, ProcessLookupError):
            return False
        except PermissionError as e:
            raise _Denied(str(e)) from e
        for line in info.splitlines():
            if not line.startswith("tfd:"):
                continue
            words = line.split()
            fd, events = int(words[1]), int(words[3], 16)
            if not events & _EPOLLIN_ANY:
                continue
            if self.is_terminal(fd):
                return True
            if depth < MAX_EPOLL_DEPTH and self._is_epoll(fd):
                if self.epoll_watches_terminal(fd, depth + 1):
                    return True
        return False

    def _is_epoll(self, fd: int) -> bool:
        try:
            return os.readlink(f"/proc/{self.pid}/fd/{fd}") == "anon_inode:[eventpoll]"
        except OSError:
            return False


@dataclass(slots=True)
class _Thread:
    state: str  # the thread's state letter (R, S, D, T, t ...)
    call: str | None  # the system call it is blocked in; None when running
    waiting: bool


def _thread(process: _Process, tid: int, table: dict[int, str]) -> _Thread | None:
    """What one thread does, or None if it is gone."""
    base = f"/proc/{process.pid}/task/{tid}"
    try:
        if tid == process.pid and process.stat is not None:
            state = process.stat.state
        else:
            state = _stat(f"{base}/stat").state
        line = _read(f"{base}/syscall").decode("ascii", "replace").split()
    except (FileNotFoundError, ProcessLookupError):
        return None
    except PermissionError as e:
        raise _Denied(str(e)) from e
    if state in "ZX":
        return None
    if not line or line[0] == "running" or state == "R":
        return _Thread(state, None, False)
    nr = int(line[0])
    if nr < 0:
        return _Thread(state, None, False)  # not in a system call
    args = [int(a, 16) for a in line[1:7]]
    if len(line) >= 8 and int(line[7], 16) < 1 << 32:
        # A stack below 4 GiB: a 32-bit process, whose call numbers are another table's.
        raise _Denied("a 32-bit process")
    name = table.get(nr, f"syscall {nr}")
    if state in "Tt":
        return _Thread(state, name, False)
    if name in _READS:
        waiting = process.is_terminal(args[0])
    elif name in _POLLS:
        waiting = process.polls_terminal(args[0], args[1])
    elif name in _SELECTS:
        waiting = process.selects_terminal(args[0], args[1])
    elif name in _EPOLLS:
        waiting = process.epoll_watches_terminal(args[0])
    else:
        waiting = False
    return _Thread(state, name, waiting)


def probe(leader: int, terminal: str) -> Observation:
    """What the foreground program on `terminal` does now.

    `leader` is the session leader (the session's child process); `terminal`
    the path of its pseudo-terminal (`session_leader_terminal(leader)`).
    """
    try:
        head = _stat(f"/proc/{leader}/stat")
    except (FileNotFoundError, ProcessLookupError):
        return Observation(State.EXITED)
    except PermissionError as e:
        return Observation(State.UNKNOWN, leader, reason=f"cannot read the program's state: {e}")
    if head.state in "ZX":
        return Observation(State.EXITED, leader, head.comm)
    if _SYSCALLS is None:
        return Observation(State.UNKNOWN, reason=f"no system call table for {platform.machine()}")
    if head.tpgid <= 0:
        return Observation(State.UNKNOWN, leader, head.comm, reason="no foreground process group")

    group = _Group(leader, head, head.tpgid, terminal)
    running: Observation | None = None
    blocked: Observation | None = None
    stopped: Observation | None = None
    denied: Observation | None = None
    for process in group.members:
        pid, comm = process.pid, process.comm
        try:
            for tid in process.threads():
                thread = _thread(process, tid, _SYSCALLS)
                if thread is None:
                    continue
                if thread.waiting:
                    return Observation(State.WAITING, pid, comm, thread.call, tid=tid)
                if thread.state in "Tt":
                    stopped = stopped or Observation(State.STOPPED, pid, comm, thread.call)
                elif thread.call is None:
                    running = running or Observation(State.RUNNING, pid, comm)
                else:
                    blocked = blocked or Observation(State.BLOCKED, pid, comm, thread.call)
        except _Denied as e:
            denied = denied or Observation(
                State.UNKNOWN, pid, comm, reason=f"cannot inspect {comm} ({pid}): {e}"
            )
    if denied:
        return denied
    if group.truncated:
        return Observation(State.UNKNOWN, reason=f"more than {MAX_PROCESSES} processes")
    # A group with no live member is one changing hands (a shell between jobs).
    return running or blocked or stopped or Observation(State.RUNNING, leader, head.comm)


def still_waiting(seen: Observation, terminal: str) -> bool:
    """Whether the thread `seen` found waiting still waits in the same way.

    Input that reaches the terminal wakes every thread blocked reading it, so
    after the terminal's pending input was moved on (see `terminal.py`), the
    one thread seen waiting answers for the whole group: woken, it runs (or
    has already taken the input and waits again, which is waiting too)."""
    if seen.state is not State.WAITING or seen.pid is None or seen.tid is None:
        return False
    if _SYSCALLS is None:
        return False
    try:
        thread = _thread(_Process(seen.pid, terminal), seen.tid, _SYSCALLS)
    except (_Denied, OSError, ValueError, IndexError):
        return False
    return thread is not None and thread.waiting

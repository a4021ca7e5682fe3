"""What a session call returns: the text and what is known about how it ended.

- `ready`: the program waits for input now. Where the probe can tell (see
  `probe.py`), that is what it saw: a thread of the foreground program blocked
  reading the terminal, its input taken and all its output taken. Where it
  cannot (a process it may not inspect, or `probe=False`), as the core's waits
  decide: with ready markers, the text *ends with* one of them; without
  markers, the output went quiet before the deadline with the program alive.
- `waiting_for_input`: the probe's answer: True (waiting), False (running,
  blocked in another call, stopped, exited) or None (it could not tell).
- `waiting_program`: the name of the process that waits (under gdb, the
  inferior's when it is the one reading), else None.
- `exited`: `is_alive()` was False when the call ended.
- `timed_out`: the deadline passed first: never true for a reply that ends
  waiting, nor for one ended by the program's exit or by `interrupted`.
- `interrupted`: the call was ended before it was done, by an `interrupt()`
  asked meanwhile or by the session closing; its text is what it had.
- `elapsed_ms`: wall time of the call on the session's thread (the time it
  waited behind earlier calls is not included).
- `unsent_lines`: lines of a multi-line send not sent because an earlier
  line's reply was not ready (0 for every other call).
- `cut_chars`: characters cut from the middle of a text longer than the
  call's `max_chars` (the whole text is in the history).

Where this can be wrong:

- The probe sees system calls, not intentions. A program that polls its
  terminal while it works (a progress display that checks for a key) looks
  waiting; one that waits for input by other means (non-blocking reads
  between sleeps, io_uring, a helper process outside the foreground group)
  looks busy, and its calls run to the deadline.
- A marker text printed as ordinary output at the very end of a reply makes
  `ready` True only where the probe cannot tell.
- `exited` is a snapshot: a program may exit right after it was taken.
"""

from __future__ import annotations

from dataclasses import asdict, dataclass

__all__ = ["Reply", "Status"]


@dataclass(frozen=True, slots=True)
class Reply:
    """The text of one call and the status derived for it (see module doc)."""

    text: str
    ready: bool
    exited: bool
    timed_out: bool
    elapsed_ms: float
    unsent_lines: int = 0
    waiting_for_input: bool | None = None
    waiting_program: str | None = None
    interrupted: bool = False
    cut_chars: int = 0

    def as_dict(self) -> dict[str, object]:
        return asdict(self)


@dataclass(frozen=True, slots=True)
class Status:
    """What the program is doing right now, read without sending or taking anything.

    - `state`: "waiting" (for input), "running", "blocked" (in another system
      call, named in `call`), "stopped", "exited" or "unknown" (`reason` says why).
    - `program`, `pid`: the foreground process it is about (the waiting one).
    - `call`: the system call it waits or is blocked in.
    - `output_waiting`: output arrived that no call has taken yet (None: cannot tell).
    - `busy`: a call is running on the session now (it takes the output).
    """

    state: str
    program: str | None
    pid: int | None
    call: str | None
    output_waiting: bool | None
    busy: bool
    reason: str | None = None

    def as_dict(self) -> dict[str, object]:
        return asdict(self)

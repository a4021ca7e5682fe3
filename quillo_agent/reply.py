"""What a session call returns: the text and what is known about how it ended.

`Quillo`'s waits return text only. The status fields here are derived from
that text, the session's markers, the call's own clock and `is_alive()` right
after the call, and from nothing else:

- `ready`: with ready markers (an interactive session with at least one
  non-empty marker), the text *ends with* one of them. Without markers (quiet
  waits), the wait returned with some output before its deadline while the
  program was still running, that is, the output went quiet.
- `exited`: `is_alive()` was False right after the call.
- `timed_out`: not ready, not exited, and the call took at least its
  `timeout_ms`.
- `elapsed_ms`: wall time of the call on the session's thread, from its start
  to its end (the time it waited behind earlier calls is not included).

Where this can be wrong:

- A marker text that the program prints as ordinary output at the very end
  of a reply (say `print "(gdb) "`) makes `ready` True although the program
  may still be busy. A marker in the *middle* of the output ends the core's
  wait early; then the reply is neither ready nor timed out, and the rest of
  the output comes with the next read.
- A reply cut by the byte cap (`max_output_bytes`) is neither ready nor timed
  out in marker mode, and is reported `ready` in quiet mode.
- In quiet mode "went quiet" is not "is waiting for input": a program that
  pauses longer than `quiet_ms` mid-work looks ready.
- `exited` is a snapshot: a program may exit right after it was taken.
- `timed_out` trusts the clock: a reply that ended for another reason just
  as the deadline passed is reported timed out.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

__all__ = ["Reply", "derive_ready"]


@dataclass(frozen=True, slots=True)
class Reply:
    """The text of one call and the status derived for it (see module doc)."""

    text: str
    ready: bool
    exited: bool
    timed_out: bool
    elapsed_ms: float
    # Input lines of a multi-line send that were not sent because an earlier
    # line's reply was not ready (0 for every other call).
    unsent_lines: int = 0

    def as_dict(self) -> dict[str, object]:
        return {
            "text": self.text,
            "ready": self.ready,
            "exited": self.exited,
            "timed_out": self.timed_out,
            "elapsed_ms": self.elapsed_ms,
            "unsent_lines": self.unsent_lines,
        }


def derive_ready(
    text: str, markers: Sequence[str], alive: bool, elapsed_ms: float, timeout_ms: int
) -> bool:
    """`ready` as the module doc defines it; `markers` empty means quiet mode."""
    if markers:
        return text.endswith(tuple(markers))
    return alive and text != "" and elapsed_ms < timeout_ms

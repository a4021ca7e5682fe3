"""How a call collects output and decides that it is done.

A call runs on the session's thread in short slices of the core's own wait
(`read_until_ready` with a deadline of at most `SLICE_MS`, ending early at a
chunk that holds a ready marker). Between slices it looks at

- what it was asked to stop for: an `interrupt` waiting behind it, the
  session closing, or its caller gone (`Stop`): it ends there, at most one
  slice late;
- whether the program waits for input (the probe, paced by `Pacer`), which
  ends it at once: with or without a prompt, and with no settle time;
- the program's exit, its deadline, and (only where the probe cannot tell)
  the markers and the quiet time, which decide the way the core's own waits
  do.

A program that waits is only "done" once two more facts hold (see
`terminal.py`): the input sent to it has been taken, and every byte it printed
before it blocked has been taken from the terminal and the session's queue,
so nothing it wrote before waiting is left for the next call.

The text is kept in a `ClippedText`: a call is bounded by time, not by a
byte count, and holds only the head and tail it will return.
"""

from __future__ import annotations

import enum
import math
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass

from quillo import Quillo

from .clipped_text import ClippedText
from .probe import Observation, State, probe, still_waiting
from .terminal import Terminal

__all__ = [
    "Stop",
    "Progress",
    "Outcome",
    "Watch",
    "Pacer",
    "CallContext",
    "collect",
    "SLICE_MS",
    "SLICE_CAP_BYTES",
    "PROBE_MIN_MS",
    "PROBE_MAX_MS",
    "PROGRESS_EVERY_S",
    "SETTLE_QUIET_MS",
    "UNSEEN_QUIET_MS",
]

# The longest single wait of the core: how late a call notices that it should
# stop (an interrupt, a close, a caller gone).
SLICE_MS = 25
# Raw bytes one slice takes at most; a call goes on past it.
SLICE_CAP_BYTES = 1 << 20
# The probe's pace while a call waits for a busy program: the first probe after
# PROBE_MIN_MS, then every tenth of the time the call has waited so far, at
# most every PROBE_MAX_MS. A marker at the end of the output is probed at once.
PROBE_MIN_MS = 1
PROBE_MAX_MS = 50
# How often a long call reports progress (to a caller that asked for it).
PROGRESS_EVERY_S = 1.0
# Where the probe cannot tell: after a marker, the output must stay quiet this
# long (or `settle_ms` pass) before the call ends, as the core's settle phase.
SETTLE_QUIET_MS = 25
# A program that waits, where the host's end of its terminal cannot be found
# (a kernel without the terminal index in fdinfo): its output must have been
# quiet this long before the call ends.
UNSEEN_QUIET_MS = 5
# Raw bytes one read of the rest of the queue takes at most.
_DRAIN_BYTES = 1 << 20


class Stop(enum.Enum):
    """Why a call is asked to end before it is done."""

    INTERRUPT = "interrupt"  # an interrupt() waits behind it
    CLOSE = "close"  # the session is closing
    ABANDONED = "abandoned"  # its caller is gone (cancelled, KeyboardInterrupt)


@dataclass(frozen=True, slots=True)
class Progress:
    """What a long call has done so far."""

    elapsed_ms: float
    received_chars: int
    last_line: str


@dataclass(slots=True)
class Outcome:
    """How a call's collecting ended."""

    ready: bool = False
    exited: bool = False
    timed_out: bool = False
    stopped: Stop | None = None
    observation: Observation | None = None  # the probe's last word, if it spoke


class Watch:
    """The probe's view of one session: its child, its terminal, and the
    checks that turn "blocked reading the terminal" into "waiting, and all
    its output taken". Lives on the session's thread; `refresh()` after every
    start (the child of a reset is another process)."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled
        self.child: int | None = None
        self.terminal: Terminal | None = None
        self.received_at_rest: int | None = None  # reader's count when a call last took all

    def refresh(self) -> None:
        """Finds the session's child: the one child of this (the session's) thread."""
        self.child, self.terminal = None, None
        self.received_at_rest = None  # the new reader counts from 0
        try:
            with open(f"/proc/self/task/{threading.get_native_id()}/children", "rb") as f:
                children = [int(c) for c in f.read().split()]
        except OSError:
            return
        if children:
            self.child = max(children)  # the newest, should an old one linger
            self.terminal = Terminal(self.child)

    def observe(self) -> Observation:
        if self.child is None or self.terminal is None or self.terminal.path is None:
            return Observation(State.UNKNOWN, reason="the session's program was not found")
        return probe(self.child, self.terminal.path)

    def settled(self) -> tuple[Observation, bool | None]:
        """What the program does and, for a program that waits, whether
        output it printed may still be on its way (None: cannot be told).

        WAITING is only reported once its input has been taken: the input
        check runs the terminal's pending work, which may wake the program,
        so the waiting thread is looked at again after it."""
        seen = self.observe()
        if seen.state is not State.WAITING:
            return seen, None
        assert self.terminal is not None
        state = self.terminal.input_state()
        if state is None:
            return Observation(State.UNKNOWN, reason="the terminal cannot be opened"), None
        if state.pending:
            return Observation(State.RUNNING, seen.pid, seen.program), None
        if not still_waiting(seen, self.terminal.path or ""):
            return self.observe(), None
        return seen, self.terminal.output_in_flight()

    def output_waiting(self) -> bool | None:
        """Whether output arrived that no call has taken (for a status query
        from any thread: it only reads /proc and polls)."""
        terminal = self.terminal
        if terminal is None:
            return None
        try:
            if terminal.output_in_flight():
                return True
        except OSError:
            return None
        received = terminal.received()
        if received is None or self.received_at_rest is None:
            return None
        return received > self.received_at_rest


class Pacer:
    """When the probe is due: soon after a call starts, then less often the
    longer the program stays busy, so a session waiting on a busy program
    costs little."""

    def __init__(self, started: float) -> None:
        self.started = started
        self.due = started + PROBE_MIN_MS / 1000

    def probed(self, now: float) -> None:
        pause_ms = min(PROBE_MAX_MS, max(PROBE_MIN_MS, (now - self.started) * 1000 / 10))
        self.due = now + pause_ms / 1000

    def soon(self, now: float) -> None:
        self.due = now + PROBE_MIN_MS / 1000


@dataclass(slots=True)
class CallContext:
    """What a call runs with on the session's thread."""

    quillo: Quillo
    watch: Watch
    markers: tuple[str, ...]  # the non-empty ready markers; empty: quiet waits
    stop: Callable[[], Stop | None]
    progress: Callable[[Progress], None] | None = None


def _drain(q: Quillo, out: ClippedText) -> None:
    while piece := q.read_available(_DRAIN_BYTES):
        out.add(piece)


def collect(
    ctx: CallContext,
    out: ClippedText,
    deadline: float,
    settle_ms: int,
    quiet_ms: int,
    started: float | None = None,
) -> Outcome:
    """Collects into `out` until the program waits for input, exits, the
    deadline (`time.monotonic()` value) passes or the call is asked to stop.

    `settle_ms` and `quiet_ms` apply only where the probe cannot tell (or is
    off): then a marker found in the output ends the call once the output has
    been quiet for `SETTLE_QUIET_MS` or `settle_ms` has passed since, and
    without markers the call ends once output has begun and stayed quiet for
    `quiet_ms`, as the core's own waits decide.
    """
    q, watch, markers = ctx.quillo, ctx.watch, ctx.markers
    begun = time.monotonic() if started is None else started
    pacer = Pacer(begun)
    next_progress = begun + PROGRESS_EVERY_S
    longest = max((len(m) for m in markers), default=0)
    last_output: float | None = None
    matched_at: float | None = None  # where the probe cannot tell: a marker was seen
    seen: Observation | None = None
    outcome = Outcome()

    while True:
        stop = ctx.stop()
        if stop is not None:
            outcome.stopped, outcome.observation = stop, seen
            return outcome
        now = time.monotonic()
        if now >= deadline:
            break
        until = min(deadline, now + SLICE_MS / 1000)
        if watch.enabled:
            until = min(until, pacer.due)
        if ctx.progress is not None:
            until = min(until, next_progress)
        if matched_at is not None:
            until = min(until, matched_at + settle_ms / 1000)
        slice_ms = max(1, math.ceil((until - now) * 1000))
        # Without markers the first output of a call ends its slice (the quiet
        # wait returns at its first chunk): the program may have answered and
        # be waiting already. After that, slices collect until they end.
        first = watch.enabled and not markers and last_output is None
        piece = q.read_until_ready(
            timeout_ms=slice_ms,
            max_output_bytes=SLICE_CAP_BYTES,
            settle_ms=0,
            quiet_ms=0 if first else slice_ms,
        )
        now = time.monotonic()
        before = ""
        if piece:
            if markers and matched_at is None:
                before = out.suffix(longest - 1)
            out.add(piece)
            last_output = now
        if ctx.progress is not None and now >= next_progress:
            next_progress = now + PROGRESS_EVERY_S
            ctx.progress(Progress((now - begun) * 1000, out.total, out.last_line()))
        if not q.is_alive():
            _collect_after_exit(ctx, out, deadline)
            outcome.exited = True
            outcome.observation = Observation(State.EXITED)
            return outcome

        if markers and matched_at is None and piece and any(m in before + piece for m in markers):
            matched_at = now

        if watch.enabled:
            if now >= pacer.due or (piece and (first or (markers and out.endswith(markers)))):
                pacer.probed(now)
                seen, in_flight = watch.settled()
                if seen.state is State.WAITING:
                    if _all_taken(in_flight, last_output, now):
                        _finish_waiting(q, watch, out)
                        outcome.ready, outcome.observation = True, seen
                        return outcome
                    pacer.soon(now)  # its last output is on its way: take it, look again
            if seen is None or seen.state is not State.UNKNOWN:
                continue

        # The probe cannot tell (or is off): markers and quiet time decide.
        if markers:
            if matched_at is not None and (
                now - (last_output or now) >= SETTLE_QUIET_MS / 1000
                or now >= matched_at + settle_ms / 1000
            ):
                outcome.ready = out.endswith(markers)
                outcome.observation = seen
                return outcome
        elif last_output is not None and now - last_output >= quiet_ms / 1000:
            outcome.ready = True
            outcome.observation = seen
            return outcome

    # The deadline. A program that waits just now is ready, not late.
    if watch.enabled:
        seen, in_flight = watch.settled()
        if seen.state is State.WAITING and in_flight is False:
            _finish_waiting(q, watch, out)
            outcome.ready, outcome.observation = True, seen
            return outcome
    outcome.observation = seen
    if seen is None or seen.state is State.UNKNOWN:
        outcome.ready = bool(markers) and out.endswith(markers)
    outcome.timed_out = not outcome.ready
    return outcome


def _collect_after_exit(ctx: CallContext, out: ClippedText, deadline: float) -> None:
    """Takes what an exited program printed before it ended. Its last output
    may still be on its way: the call goes on until the reader has seen the
    terminal's end (a slice then returns at once, empty), or, where another
    process still holds the terminal open, until nothing is on its way."""
    q, terminal = ctx.quillo, ctx.watch.terminal
    while ctx.stop() is None:
        now = time.monotonic()
        if now >= deadline:
            return
        slice_ms = max(1, min(SLICE_MS, math.ceil((deadline - now) * 1000)))
        piece = q.read_until_ready(
            timeout_ms=slice_ms, max_output_bytes=SLICE_CAP_BYTES, settle_ms=0, quiet_ms=slice_ms
        )
        if piece:
            out.add(piece)
            continue
        if time.monotonic() - now < slice_ms / 2000:
            return  # the reader is gone and the queue empty: all of it was taken
        if terminal is not None and not terminal.output_in_flight():
            _drain(q, out)
            return


def _all_taken(in_flight: bool | None, last_output: float | None, now: float) -> bool:
    """Whether a waiting program's output has all been taken: as the terminal
    says, or, where its host end cannot be found, once the output has been
    quiet for UNSEEN_QUIET_MS."""
    if in_flight is None:
        return last_output is None or now - last_output >= UNSEEN_QUIET_MS / 1000
    return not in_flight


def _finish_waiting(q: Quillo, watch: Watch, out: ClippedText) -> None:
    """Takes the rest of the queue of a program that waits. Nothing is on its
    way (the caller checked), so the reader's count now is exactly what the
    queue holds plus what calls took before."""
    terminal = watch.terminal
    watch.received_at_rest = terminal.received() if terminal is not None else None
    _drain(q, out)

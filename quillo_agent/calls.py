"""What each session call does on the session's thread: what it writes first,
how it collects (`call_loop.collect`) and the reply it makes of that.

Each builder returns a function of the call's `CallContext`; the session
queues it and runs it on its thread (`session.py`), so every call is written
once here whatever face (blocking or coroutine) it is called through.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from quillo import Quillo

from .call_loop import CallContext, Outcome, collect
from .clipped_text import ClippedText
from .errors import ProgramExited
from .long_lines import ShellScripts, first_long_line, refusal
from .probe import State
from .reply import Reply

__all__ = [
    "Waits",
    "ProgramExited",
    "start_call",
    "send_call",
    "read_call",
    "drain_call",
    "interrupt_call",
    "reset_call",
    "DRAIN_BYTES",
    "DEFAULT_MAX_CHARS",
    "DEFAULT_SETTLE_MS",
    "DEFAULT_QUIET_MS",
]

# Characters of text one call returns at most when the caller sets no bound.
DEFAULT_MAX_CHARS = 2_000_000
# Where the probe cannot tell: the core's settle and quiet times.
DEFAULT_SETTLE_MS = 200
DEFAULT_QUIET_MS = 80
# A drain takes at most this many raw bytes (the core's read_available default).
DRAIN_BYTES = 65_536


@dataclass(frozen=True, slots=True)
class Waits:
    """One call's bounds: its deadline for the whole call, the characters it
    returns, and (only where the probe cannot tell) the settle and quiet times."""

    timeout_ms: int
    max_chars: int = DEFAULT_MAX_CHARS
    settle_ms: int = DEFAULT_SETTLE_MS
    quiet_ms: int = DEFAULT_QUIET_MS

    def deadline(self, started: float) -> float:
        return started + self.timeout_ms / 1000


Call = Callable[[CallContext], Reply]


def _reply(
    ctx: CallContext, out: ClippedText, outcome: Outcome, started: float, unsent: int = 0
) -> Reply:
    seen = outcome.observation
    waiting = seen.waiting if ctx.watch.enabled and seen is not None else None
    if outcome.exited:
        waiting = False
    return Reply(
        text=out.value(),
        ready=outcome.ready,
        exited=outcome.exited or not ctx.quillo.is_alive(),
        timed_out=outcome.timed_out and not outcome.ready,
        elapsed_ms=(time.monotonic() - started) * 1000,
        unsent_lines=unsent,
        waiting_for_input=waiting,
        waiting_program=seen.program if seen is not None and seen.state is State.WAITING else None,
        interrupted=outcome.stopped is not None,
        cut_chars=out.cut,
    )


def _check_alive(q: Quillo) -> None:
    if not q.is_alive():
        raise ProgramExited("the program has exited: reset or close the session")


def _canonical(ctx: CallContext) -> bool:
    """Whether the terminal collects whole lines now; True when it cannot be told."""
    terminal = ctx.watch.terminal
    state = terminal.input_state() if terminal is not None else None
    return state is None or state.canonical


def _reader_name(ctx: CallContext, program: str) -> str:
    seen = ctx.watch.observe()
    return seen.program if seen.program else program


def _fit_to_terminal(
    ctx: CallContext, lines: Sequence[str], scripts: ShellScripts | None, program: str
) -> Sequence[str]:
    """The lines to write: as given, unless one is longer than a canonical
    terminal holds; then a shell runs them from a file, anything else refuses."""
    long = first_long_line(lines)
    if long is None or not _canonical(ctx):
        return lines
    if scripts is not None:
        return [scripts.command_for(lines)]
    raise refusal(lines, long, _reader_name(ctx, program))


def _send_lines(
    ctx: CallContext,
    out: ClippedText,
    lines: Sequence[str],
    waits: Waits,
    started: float,
    finish_block_at: str | None = None,
    program: str = "the program",
) -> tuple[Outcome, int]:
    """Writes each line and collects until it is ready; stops at the first
    line whose reply is not. Returns the last outcome and the lines not sent."""
    deadline = waits.deadline(started)
    outcome = Outcome()
    long = first_long_line(lines)
    for i, line in enumerate(lines):
        # A program may have handed its terminal to one that reads whole lines.
        if long is not None and i >= long and first_long_line([line]) is not None:
            if _canonical(ctx):
                raise refusal(lines, i, _reader_name(ctx, program), sent=i)
        ctx.quillo.send_and_read_until_ready(line, timeout_ms=0)
        outcome = collect(ctx, out, deadline, waits.settle_ms, waits.quiet_ms, started)
        if not outcome.ready:
            return outcome, len(lines) - i - 1
    # A block sent as one piece that leaves the REPL at its continuation
    # prompt is ended with one empty line, as a person would press Enter.
    if finish_block_at and len(lines) > 1 and out.endswith((finish_block_at,)):
        ctx.quillo.send_and_read_until_ready("", timeout_ms=0)
        outcome = collect(ctx, out, deadline, waits.settle_ms, waits.quiet_ms, started)
    return outcome, 0


def send_call(
    lines: Sequence[str],
    waits: Waits,
    finish_block_at: str | None = None,
    scripts: ShellScripts | None = None,
    program: str = "the program",
) -> Call:
    """Sends `lines`; `scripts` (a shell's) takes lines too long for a
    canonical terminal, which anything else refuses (`LineTooLong`)."""

    def call(ctx: CallContext) -> Reply:
        _check_alive(ctx.quillo)
        started = time.monotonic()
        out = ClippedText(waits.max_chars)
        fitted = _fit_to_terminal(ctx, lines, scripts, program)
        outcome, unsent = _send_lines(ctx, out, fitted, waits, started, finish_block_at, program)
        if scripts is not None and outcome.ready:
            scripts.remove_read()
        return _reply(ctx, out, outcome, started, unsent)

    return call


def read_call(waits: Waits) -> Call:
    def call(ctx: CallContext) -> Reply:
        started = time.monotonic()
        out = ClippedText(waits.max_chars)
        outcome = collect(ctx, out, waits.deadline(started), waits.settle_ms, waits.quiet_ms)
        return _reply(ctx, out, outcome, started)

    return call


def drain_call(max_chars: int = DEFAULT_MAX_CHARS) -> Call:
    """What is queued now (at most DRAIN_BYTES raw bytes), without waiting."""

    def call(ctx: CallContext) -> Reply:
        started = time.monotonic()
        out = ClippedText(max_chars)
        out.add(ctx.quillo.read_available(DRAIN_BYTES))
        outcome = Outcome()
        if ctx.watch.enabled:
            seen, in_flight = ctx.watch.settled()
            outcome.observation = seen
            outcome.ready = seen.state is State.WAITING and not in_flight
        elif ctx.markers:
            outcome.ready = out.endswith(ctx.markers)
        return _reply(ctx, out, outcome, started)

    return call


def interrupt_call(waits: Waits) -> Call:
    """Ctrl-C, then collecting as `read` does (no wait with timeout_ms=0)."""

    def call(ctx: CallContext) -> Reply:
        _check_alive(ctx.quillo)
        started = time.monotonic()
        ctx.quillo.send_ctrl_c()
        out = ClippedText(waits.max_chars)
        if waits.timeout_ms == 0:
            return _reply(ctx, out, Outcome(), started)
        outcome = collect(ctx, out, waits.deadline(started), waits.settle_ms, waits.quiet_ms)
        return _reply(ctx, out, outcome, started)

    return call


def start_call(startup: Sequence[str], waits: Waits) -> Call:
    """Waits for the first prompt, then sends the start-up lines. The reply
    holds the first wait's text (the banner and one prompt); the start-up
    lines' own replies stay in the history, unless one is not ready."""

    def call(ctx: CallContext) -> Reply:
        started = time.monotonic()
        out = ClippedText(waits.max_chars)
        outcome = collect(ctx, out, waits.deadline(started), waits.settle_ms, waits.quiet_ms)
        if not startup or not outcome.ready:
            return _reply(ctx, out, outcome, started)
        echoes = ClippedText(waits.max_chars)
        outcome, unsent = _send_lines(ctx, echoes, startup, waits, started)
        if not outcome.ready:
            out.add(echoes.value())
        return _reply(ctx, out, outcome, started, unsent)

    return call


def reset_call(startup: Sequence[str], waits: Waits, restarted: Callable[[], None]) -> Call:
    """Ends the program, starts it again, then does what `start` does."""
    start = start_call(startup, waits)

    def call(ctx: CallContext) -> Reply:
        ctx.quillo.reset()
        restarted()
        return start(ctx)

    return call


"""A session that any thread and any asyncio task can use.

A `Quillo` may only be used from the thread that made it. A `Session` gives
its `Quillo` a thread of its own (named `quillo_agent:<program>`): every call,
from whatever thread, is queued to it and runs there, one at a time, in the
order submitted; an `interrupt` goes ahead of the queue. Each call is defined
once (`calls.py`); its blocking face waits on a future, its coroutine face
(prefix `a`) awaits the same future. The core releases the interpreter lock
while it waits, so many sessions wait in parallel.

A running call collects in slices of at most `SLICE_MS` (`call_loop.py`) and
ends at the next one when something else needs the session:

- an `interrupt()`: the call returns what it collected with `interrupted`
  set, then Ctrl-C is written and the interrupt waits for readiness;
- its caller gone (a cancelled `await`, a blocking call abandoned by
  `KeyboardInterrupt`): its text is dropped, though it is in `history()`, and
  the next call runs at once (the input it sent is not taken back);
- `close()`: the call returns as for an interrupt and the session closes.

Bounds: at most `MAX_PENDING_CALLS` calls wait behind the running one (a
further call raises `SessionBusy`); each call is bounded by its own
`timeout_ms`; `close()` waits for the thread at most `CLOSE_WAIT_S`.

Every session is closed when `close()` is called, when it is garbage
collected, and at interpreter exit (an `atexit` hook): its child is ended,
its thread joined and its launcher removed.
"""

from __future__ import annotations

import asyncio
import atexit
import collections
import concurrent.futures
import ctypes
import functools
import os
import threading
import traceback
import weakref
from collections.abc import Callable, Coroutine, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Concatenate, Generic, ParamSpec, TypeVar

from quillo import Quillo

from . import calls
from .call_loop import CallContext, Progress, Stop, Watch
from .calls import DEFAULT_QUIET_MS, DEFAULT_SETTLE_MS, Waits
from .errors import ProgramExited, SessionBusy, SessionClosed, SessionError
from .launcher import LaunchError, Launcher
from .long_lines import ShellScripts
from .probe import State
from .profiles import Profile, get_profile
from .reply import Reply, Status

__all__ = [
    "Session",
    "SessionError",
    "SessionClosed",
    "SessionBusy",
    "ProgramExited",
    "DEFAULT_TIMEOUT_MS",
    "START_TIMEOUT_MS",
    "MAX_PENDING_CALLS",
    "CLOSE_WAIT_S",
]

T = TypeVar("T")
P = ParamSpec("P")
S = TypeVar("S", bound="Session")

DEFAULT_TIMEOUT_MS = 20_000  # a call's deadline when none is given (the core's default)
START_TIMEOUT_MS = 15_000  # the wait for the first prompt and the start-up lines
MAX_PENDING_CALLS = 32  # calls that may wait behind the running one
# How long close() waits for the session's thread: the running call's slice,
# then the core's close (at most about 0.6 s, or 5 s for a child stuck in the
# kernel). Only a call blocked writing input to a program that does not read
# can hold the thread longer (the core's 20 s write stall bound); close then
# returns and the thread ends the child when the write gives up.
CLOSE_WAIT_S = 10.0


@dataclass(eq=False)
class _Request(Generic[T]):
    """A call as queued: what runs on the session's thread, and its flags."""

    run: Callable[[CallContext], T]
    urgent: bool = False  # an interrupt: goes first, and stops the running call
    progress: Callable[[Progress], None] | None = None
    future: concurrent.futures.Future[T] = field(default_factory=concurrent.futures.Future)
    abandoned: bool = False  # its caller is gone


_STOP: _Request[None] = _Request(lambda ctx: None)


class _Worker:
    """The thread that owns one `Quillo`, and the queue of calls for it.

    Kept apart from `Session` so that the thread holds no reference to the
    session: an abandoned `Session` is garbage collected, which stops this.
    """

    def __init__(self, launcher: Launcher, markers: tuple[str, ...], probe: bool) -> None:
        self.launcher = launcher
        self.markers = markers
        self.watch = Watch(probe)
        self.cond = threading.Condition()
        self.queue: collections.deque[_Request[Any]] = collections.deque()
        self.urgent_waiting = 0  # interrupts queued that have not begun
        self.closing = False
        self.running: _Request[Any] | None = None
        started: concurrent.futures.Future[None] = concurrent.futures.Future()
        self.thread = threading.Thread(
            target=self._run,
            args=(started,),
            name=f"quillo_agent:{launcher.argv[0].rsplit('/', 1)[-1]}",
            daemon=True,
        )
        self.thread.start()
        try:
            started.result()
        except BaseException:
            self.thread.join()
            raise

    def _run(self, started: concurrent.futures.Future[None]) -> None:
        _name_this_thread(self.thread.name)
        quillo: Quillo | None = None
        try:
            try:
                # The core's markers end a slice early; empty ones would end
                # it at every chunk, so a session without real markers gives none.
                quillo = Quillo(self.launcher.path, True, list(self.markers))
                self.watch.refresh()
            except BaseException as e:
                started.set_exception(e)
                return
            started.set_result(None)
            while True:
                request = self._next()
                if request is _STOP:
                    break
                if not request.future.set_running_or_notify_cancel():
                    continue
                ctx = CallContext(
                    quillo, self.watch, self.markers, self._stopper(request), request.progress
                )
                try:
                    result = request.run(ctx)
                except BaseException as e:
                    _drop_frame_locals(e)
                    request.future.set_exception(e)
                else:
                    request.future.set_result(result)
                finally:
                    with self.cond:
                        self.running = None
                    del request, ctx
        finally:
            if quillo is not None:
                quillo.close()
                del quillo  # dropped here, on its own thread
            self.launcher.remove()

    def _next(self) -> _Request[Any]:
        with self.cond:
            while not self.queue:
                self.cond.wait()
            request = self.queue.popleft()
            if request.urgent:
                self.urgent_waiting -= 1
            self.running = request
            return request

    def _stopper(self, request: _Request[Any]) -> Callable[[], Stop | None]:
        def stop() -> Stop | None:
            if self.closing:
                return Stop.CLOSE
            if request.abandoned:
                return Stop.ABANDONED
            if self.urgent_waiting:
                return Stop.INTERRUPT
            return None

        return stop

    def submit(self, request: _Request[T]) -> concurrent.futures.Future[T]:
        with self.cond:
            if self.closing:
                raise SessionClosed("the session is closed")
            if len(self.queue) >= MAX_PENDING_CALLS:
                raise SessionBusy(f"{MAX_PENDING_CALLS} calls are already waiting on this session")
            if request.urgent:
                # Behind earlier interrupts, ahead of everything else.
                self.queue.insert(self.urgent_waiting, request)
                self.urgent_waiting += 1
            else:
                self.queue.append(request)
            self.cond.notify()
        return request.future

    def busy(self) -> bool:
        with self.cond:
            return self.running is not None

    def stop(self) -> None:
        """Cancels queued calls, ends the running one at its next slice, closes, joins."""
        with self.cond:
            if not self.closing:
                self.closing = True
                for request in self.queue:
                    request.future.cancel()
                self.queue.clear()
                self.urgent_waiting = 0
                self.queue.append(_STOP)
                self.cond.notify()
        if threading.current_thread() is not self.thread:
            self.thread.join(CLOSE_WAIT_S)


def _drop_frame_locals(error: BaseException) -> None:
    """Clears the local variables of the frames in `error`'s tracebacks.

    Those frames ran on the session's thread and hold its `Quillo`; the
    exception goes to the caller's thread, and a `Quillo` whose last
    reference goes away there cannot be torn down (it belongs to its thread).
    The tracebacks keep their file and line information.
    """
    seen: set[int] = set()
    todo: list[BaseException | None] = [error]
    while todo:
        e = todo.pop()
        if e is None or id(e) in seen:
            continue
        seen.add(id(e))
        traceback.clear_frames(e.__traceback__)
        todo += [e.__cause__, e.__context__]


def _name_this_thread(name: str) -> None:
    """Gives the running thread its name in /proc too (Python before 3.14
    does not), so a session's thread shows in ps and top. Best effort."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(15, name.encode()[:15], 0, 0, 0)  # PR_SET_NAME, 15 bytes at most
    except (OSError, AttributeError):
        pass


def _blocking(
    build: Callable[Concatenate[S, P], _Request[T]],
) -> Callable[Concatenate[S, P], T]:
    """The blocking face of a call: submit it, wait for its result."""

    @functools.wraps(build)
    def face(self: S, /, *args: P.args, **kwargs: P.kwargs) -> T:
        return self._wait(build(self, *args, **kwargs))

    face.__name__ = face.__qualname__ = build.__name__.lstrip("_")
    return face


def _coroutine(
    build: Callable[Concatenate[S, P], _Request[T]],
) -> Callable[Concatenate[S, P], Coroutine[Any, Any, T]]:
    """The coroutine face of a call: submit it, await its result."""

    @functools.wraps(build)
    async def face(self: S, /, *args: P.args, **kwargs: P.kwargs) -> T:
        return await self._await(build(self, *args, **kwargs))

    face.__name__ = face.__qualname__ = "a" + build.__name__.lstrip("_")
    return face


_live: weakref.WeakSet[Session] = weakref.WeakSet()


@atexit.register
def _close_all_at_exit() -> None:
    for session in list(_live):
        session.close()


class Session:
    """One program on a pseudo-terminal, driven from any thread or coroutine.

    `argv` is the program and its arguments (the program looked up on PATH,
    the child's PATH if `env` sets one); `cwd` the working directory; `env`
    variables to set and `unset_env` names to remove in the child's
    environment, on top of `profile`'s. `profile` (a `Profile` or a built-in
    name) supplies the default argv, the markers and start-up lines;
    `markers` replaces its markers (an empty list means none). `probe=False`
    turns off the probe of the terminal's state (`probe.py`): readiness is
    then decided by markers and quiet time only, as the core's waits do.
    Raises `LaunchError` if the program cannot be started, `TypeError` or
    `ValueError` for bad arguments. The child is running on return; call
    `start()` (or `astart()`) to wait for its first prompt and run the
    profile's start-up lines.
    """

    def __init__(
        self,
        argv: Sequence[str] | None = None,
        *,
        profile: Profile | str | None = None,
        cwd: str | None = None,
        env: Mapping[str, str] | None = None,
        unset_env: Sequence[str] = (),
        markers: Sequence[str] | None = None,
        probe: bool = True,
    ) -> None:
        if isinstance(profile, str):
            profile = get_profile(profile)
        if argv is None:
            if profile is None or profile.argv is None:
                raise ValueError("argv is required (the profile has no default argv)")
            argv = profile.argv
        if markers is not None and (
            isinstance(markers, str) or not all(isinstance(m, str) for m in markers)
        ):
            raise TypeError("markers must be a list of str")
        if not isinstance(probe, bool):
            raise TypeError(f"probe must be a bool, not {type(probe).__name__}")
        if profile is not None and markers is None:
            profile.check_env(env or {}, unset_env)
        self.profile = profile
        self.markers: list[str] = list(
            markers if markers is not None else (profile.markers if profile else ())
        )
        merged_env = {**(profile.env if profile else {}), **(env or {})}
        merged_unset = [*(profile.unset_env if profile else ()), *unset_env]
        merged_unset = [n for n in merged_unset if n not in (env or {})]
        self.launcher = Launcher(argv, cwd=cwd, env=merged_env, unset_env=merged_unset)
        self.argv = list(argv)
        self.cwd = cwd
        self._program = os.path.basename(self.launcher.program)
        self._scripts = (
            ShellScripts(self.launcher.directory) if profile and profile.long_lines_run_as_file else None
        )
        try:
            self._worker = _Worker(self.launcher, tuple(m for m in self.markers if m), probe)
        except Exception as e:
            self.launcher.remove()
            # The core's message names the launcher script; name the program too.
            raise LaunchError(f"Failed to start {self.argv[0]!r}: {e}") from e
        except BaseException:
            self.launcher.remove()
            raise
        self._finalizer = weakref.finalize(self, self._worker.stop)
        _live.add(self)

    # ---- submitting calls and waiting for them ----

    def _wait(self, request: _Request[T]) -> T:
        if threading.current_thread() is self._worker.thread:
            raise SessionError("a session call cannot be made from the session's own thread")
        future = self._worker.submit(request)
        try:
            return future.result()
        except concurrent.futures.CancelledError:
            raise SessionClosed("the session was closed before the call ran") from None
        except BaseException:
            # Abandoned (KeyboardInterrupt): a queued call never runs, a running one stops.
            request.abandoned = True
            future.cancel()
            raise

    async def _await(self, request: _Request[T]) -> T:
        future = self._worker.submit(request)
        try:
            return await asyncio.wrap_future(future)
        except asyncio.CancelledError:
            request.abandoned = True
            if future.cancelled() and self._worker.closing and not _current_task_cancelling():
                raise SessionClosed("the session was closed before the call ran") from None
            raise

    def _waits(
        self,
        timeout_ms: int,
        settle_ms: int | None,
        quiet_ms: int | None,
        max_chars: int | None,
    ) -> Waits:
        values = {"timeout_ms": timeout_ms, "settle_ms": settle_ms, "quiet_ms": quiet_ms}
        for name, value in values.items():
            if value is not None and (not isinstance(value, int) or value < 0):
                raise ValueError(f"{name} must be an int of at least 0, got {value!r}")
        if max_chars is not None and (not isinstance(max_chars, int) or max_chars < 1):
            raise ValueError(f"max_chars must be an int of at least 1, got {max_chars!r}")
        return Waits(
            timeout_ms,
            max_chars if max_chars is not None else calls.DEFAULT_MAX_CHARS,
            settle_ms if settle_ms is not None else DEFAULT_SETTLE_MS,
            quiet_ms if quiet_ms is not None else DEFAULT_QUIET_MS,
        )

    def _startup(self) -> tuple[str, ...]:
        return self.profile.startup if self.profile else ()

    # ---- the calls: each defined once, its two faces derived below ----

    def _start(
        self,
        timeout_ms: int = START_TIMEOUT_MS,
        *,
        max_chars: int | None = None,
        progress: Callable[[Progress], None] | None = None,
    ) -> _Request[Reply]:
        """Waits for the first prompt, then sends the profile's start-up lines.

        The reply holds the program's first output (its banner and one
        prompt); the start-up lines' replies are in the history."""
        waits = self._waits(timeout_ms, None, None, max_chars)
        return _Request(calls.start_call(self._startup(), waits), progress=progress)

    def _send(
        self,
        text: str,
        timeout_ms: int = DEFAULT_TIMEOUT_MS,
        *,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
        max_chars: int | None = None,
        progress: Callable[[Progress], None] | None = None,
    ) -> _Request[Reply]:
        """Sends `text` and waits until the program is ready again.

        `text` is split at line feeds (one final line feed is dropped, so
        "x\\n" sends the same as "x"; "" sends an empty line) and sent one line
        at a time, each followed by a line feed and a wait for readiness, so a
        continuation prompt ("... ", PS2) ends each line's wait. If a line's
        reply is not ready, the lines after it are not sent (`unsent_lines`).
        A profile with `finish_blocks_at` (python, pdb) sends one empty line
        more when a multi-line text leaves the program at that prompt. A line
        longer than a terminal in canonical mode holds (4,095 bytes) is run
        from a file by the shell profiles and refused (`LineTooLong`, nothing
        sent) for other programs reading whole lines (see `long_lines.py`).
        `timeout_ms` bounds the whole call; `max_chars` the text returned
        (head and tail around a cut marker). `settle_ms` and `quiet_ms` apply
        only where the probe cannot tell. `progress` is called on the
        session's thread about once a second while the call lasts. Raises
        `ProgramExited` if the program had exited before anything was sent.
        """
        if not isinstance(text, str):
            raise TypeError(f"input must be a str, not {type(text).__name__}")
        lines = (text[:-1] if text.endswith("\n") else text).split("\n")
        waits = self._waits(timeout_ms, settle_ms, quiet_ms, max_chars)
        finish = self.profile.finish_blocks_at if self.profile else None
        call = calls.send_call(lines, waits, finish, self._scripts, self._program)
        return _Request(call, progress=progress)

    def _read(
        self,
        timeout_ms: int = DEFAULT_TIMEOUT_MS,
        *,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
        max_chars: int | None = None,
        progress: Callable[[Progress], None] | None = None,
    ) -> _Request[Reply]:
        """Waits until the program is ready (or the deadline), sending nothing."""
        waits = self._waits(timeout_ms, settle_ms, quiet_ms, max_chars)
        return _Request(calls.read_call(waits), progress=progress)

    def _drain(self, *, max_chars: int | None = None) -> _Request[Reply]:
        """Takes the output queued right now (at most 64 KiB), without waiting."""
        waits = self._waits(0, None, None, max_chars)
        return _Request(calls.drain_call(waits.max_chars))

    def _interrupt(
        self,
        timeout_ms: int = DEFAULT_TIMEOUT_MS,
        *,
        max_chars: int | None = None,
        progress: Callable[[Progress], None] | None = None,
    ) -> _Request[Reply]:
        """Sends Ctrl-C, then waits for readiness (`timeout_ms=0`: no wait).

        It goes ahead of every queued call, and a call running when it is
        asked ends at its next slice (its reply says `interrupted`), so Ctrl-C
        is written within one slice. Raises `ProgramExited` if the program
        has exited."""
        waits = self._waits(timeout_ms, None, None, max_chars)
        return _Request(calls.interrupt_call(waits), urgent=True, progress=progress)

    def _history(self) -> _Request[str]:
        """Everything read so far (the core keeps the last 4 MiB of raw output)."""
        return _Request(lambda ctx: ctx.quillo.get_history())

    def _is_alive(self) -> _Request[bool]:
        return _Request(lambda ctx: ctx.quillo.is_alive())

    def _reset(
        self,
        timeout_ms: int = START_TIMEOUT_MS,
        *,
        max_chars: int | None = None,
        progress: Callable[[Progress], None] | None = None,
    ) -> _Request[Reply]:
        """Ends the program, starts it again (same argv, cwd, env), runs `start`."""
        waits = self._waits(timeout_ms, None, None, max_chars)
        call = calls.reset_call(self._startup(), waits, self._worker.watch.refresh)
        return _Request(call, progress=progress)

    start = _blocking(_start)
    astart = _coroutine(_start)
    send = _blocking(_send)
    asend = _coroutine(_send)
    read = _blocking(_read)
    aread = _coroutine(_read)
    drain = _blocking(_drain)
    adrain = _coroutine(_drain)
    interrupt = _blocking(_interrupt)
    ainterrupt = _coroutine(_interrupt)
    history = _blocking(_history)
    ahistory = _coroutine(_history)
    is_alive = _blocking(_is_alive)
    ais_alive = _coroutine(_is_alive)
    reset = _blocking(_reset)
    areset = _coroutine(_reset)

    # ---- status: read from /proc on the caller's thread, never queued ----

    def status(self) -> Status:
        """What the program is doing right now, without sending or taking
        anything and without waiting for a running call."""
        if self.closed:
            raise SessionClosed("the session is closed")
        watch = self._worker.watch
        busy = self._worker.busy()
        if not watch.enabled:
            return Status("unknown", None, None, None, None, busy, reason="the probe is off")
        seen = watch.observe()
        waiting = None if seen.state is State.EXITED else watch.output_waiting()
        return Status(
            seen.state.value, seen.program, seen.pid, seen.call, waiting, busy, seen.reason
        )

    async def astatus(self) -> Status:
        return self.status()

    # ---- closing ----

    @property
    def closed(self) -> bool:
        return self._worker.closing

    def close(self) -> None:
        """Ends the program and the thread and removes the launcher.

        Queued calls are cancelled (they raise `SessionClosed`); a running
        call ends at its next slice (its reply says `interrupted`). Calling it
        again does nothing.
        """
        self._finalizer()
        _live.discard(self)

    async def aclose(self) -> None:
        await asyncio.get_running_loop().run_in_executor(None, self.close)

    def __enter__(self) -> Session:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    async def __aenter__(self) -> Session:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<Session {self.argv!r} {state}>"


def _current_task_cancelling() -> bool:
    task = asyncio.current_task()
    return task is not None and task.cancelling() > 0

"""A session that any thread and any asyncio task can use.

A `Quillo` may only be used from the thread that made it. A `Session` gives
its `Quillo` a thread of its own (named `quillo_agent:<program>`): every call,
from whatever thread, is queued to it and runs there, one at a time, in the
order submitted. The synchronous methods block the calling thread until their
call is done; the `a`-prefixed ones are coroutines that await it. The core
releases the interpreter lock while it waits, so many sessions wait in
parallel.

Bounds: at most `MAX_PENDING_CALLS` calls wait behind the running one (a
further call raises `SessionBusy`); each call is bounded by its own
`timeout_ms`; `close()` waits for the running call to end (its deadline plus
`CLOSE_GRACE_S`).

Cancelling an awaiting coroutine (or abandoning a blocking call) cancels the
call if it has not started yet. A call already running on the session's
thread cannot be stopped: it runs to its own end (at the latest its deadline)
and its text is dropped, though it is in `history()`; the next call runs
after it. The session stays usable either way.

Every session is closed when `close()` is called, when it is garbage
collected, and at interpreter exit (an `atexit` hook): its child is ended,
its thread joined and its launcher removed.
"""

from __future__ import annotations

import asyncio
import atexit
import concurrent.futures
import ctypes
import dataclasses
import math
import queue
import threading
import time
import traceback
import weakref
from collections.abc import Callable, Mapping, Sequence
from typing import Any, TypeVar

from quillo import Quillo

from .launcher import LaunchError, Launcher
from .profiles import Profile, get_profile
from .reply import Reply, derive_ready

__all__ = [
    "Session",
    "SessionError",
    "SessionClosed",
    "SessionBusy",
    "ProgramExited",
    "DEFAULT_TIMEOUT_MS",
    "START_TIMEOUT_MS",
    "MAX_PENDING_CALLS",
    "CLOSE_GRACE_S",
]

T = TypeVar("T")

DEFAULT_TIMEOUT_MS = 20_000  # a call's deadline when none is given (the core's default)
START_TIMEOUT_MS = 15_000  # the wait for the first prompt, and for each start-up line
MAX_PENDING_CALLS = 32  # calls that may wait behind the running one
CLOSE_GRACE_S = 3.0  # beyond the running call's deadline: the core's close, the join


class SessionError(Exception):
    """A session cannot do what was asked."""


class SessionClosed(SessionError):
    """The session is closed (or closing); nothing more runs on it."""


class SessionBusy(SessionError):
    """Too many calls are already queued on this session."""


class ProgramExited(SessionError):
    """The program had already exited when input was to be sent to it."""


_STOP = object()


class _Worker:
    """The thread that owns one `Quillo`, and the queue of calls for it.

    Kept apart from `Session` so that the thread holds no reference to the
    session: an abandoned `Session` is garbage collected, which stops this.
    """

    def __init__(self, launcher: Launcher, interactive: bool, markers: list[str]) -> None:
        self.launcher = launcher
        self.calls: queue.Queue[Any] = queue.Queue(MAX_PENDING_CALLS)
        self.lock = threading.Lock()
        self.closing = False
        self.busy_until = 0.0  # monotonic deadline of the running call
        self.quillo: Quillo | None = None
        started: concurrent.futures.Future[None] = concurrent.futures.Future()
        self.thread = threading.Thread(
            target=self._run,
            args=(interactive, markers, started),
            name=f"quillo_agent:{launcher.argv[0].rsplit('/', 1)[-1]}",
            daemon=True,
        )
        self.thread.start()
        try:
            started.result()
        except BaseException:
            self.thread.join()
            raise

    def _run(
        self, interactive: bool, markers: list[str], started: concurrent.futures.Future[None]
    ) -> None:
        _name_this_thread(self.thread.name)
        try:
            try:
                self.quillo = Quillo(self.launcher.path, interactive, markers)
            except BaseException as e:
                started.set_exception(e)
                return
            started.set_result(None)
            while True:
                item = self.calls.get()
                if item is _STOP:
                    break
                future, fn, deadline_ms = item
                if not future.set_running_or_notify_cancel():
                    continue
                self.busy_until = time.monotonic() + deadline_ms / 1000
                try:
                    result = fn(self.quillo)
                except BaseException as e:
                    _drop_frame_locals(e)
                    future.set_exception(e)
                else:
                    future.set_result(result)
                finally:
                    self.busy_until = 0.0
                    del item, future, fn
        finally:
            if self.quillo is not None:
                self.quillo.close()
                self.quillo = None  # dropped here, on its own thread
            self.launcher.remove()

    def submit(
        self, fn: Callable[[Quillo], T], deadline_ms: int
    ) -> concurrent.futures.Future[T]:
        future: concurrent.futures.Future[T] = concurrent.futures.Future()
        with self.lock:
            if self.closing:
                raise SessionClosed("the session is closed")
            try:
                self.calls.put_nowait((future, fn, deadline_ms))
            except queue.Full:
                raise SessionBusy(
                    f"{MAX_PENDING_CALLS} calls are already waiting on this session"
                ) from None
        return future

    def stop(self) -> None:
        """Cancels queued calls, lets the running one end, closes, joins."""
        with self.lock:
            if not self.closing:
                self.closing = True
                while True:
                    try:
                        item = self.calls.get_nowait()
                    except queue.Empty:
                        break
                    item[0].cancel()
                self.calls.put_nowait(_STOP)
        if threading.current_thread() is not self.thread:
            left = max(0.0, self.busy_until - time.monotonic())
            self.thread.join(left + CLOSE_GRACE_S)


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
    `markers` replaces its markers (an empty list means quiet waits). Raises
    `LaunchError` if the program cannot be started, `TypeError` or
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
        try:
            self._worker = _Worker(self.launcher, True, self.markers)
        except Exception as e:
            self.launcher.remove()
            # The core's message names the launcher script; name the program too.
            raise LaunchError(f"Failed to start {self.argv[0]!r}: {e}") from e
        except BaseException:
            self.launcher.remove()
            raise
        self._finalizer = weakref.finalize(self, self._worker.stop)
        _live.add(self)

    # ---- what runs on the session's thread ----

    def _ready_markers(self) -> tuple[str, ...]:
        return tuple(m for m in self.markers if m)

    def _reply(self, q: Quillo, text: str, started: float, timeout_ms: int) -> Reply:
        elapsed_ms = (time.perf_counter() - started) * 1000
        alive = q.is_alive()
        ready = derive_ready(text, self._ready_markers(), alive, elapsed_ms, timeout_ms)
        return Reply(
            text=text,
            ready=ready,
            exited=not alive,
            timed_out=not ready and alive and elapsed_ms >= timeout_ms,
            elapsed_ms=elapsed_ms,
        )

    def _send_lines(
        self, q: Quillo, lines: list[str], timeout_ms: int, wait: dict[str, int | None]
    ) -> Reply:
        if not q.is_alive():
            raise ProgramExited("the program has exited: reset or close the session")
        started = time.perf_counter()
        deadline = started + timeout_ms / 1000
        texts: list[str] = []
        reply: Reply | None = None
        for i, line in enumerate(lines):
            # Rounded up: a line that runs to its deadline ends at or after the call's.
            left_ms = max(0, math.ceil((deadline - time.perf_counter()) * 1000))
            t0 = time.perf_counter()
            text = q.send_and_read_until_ready(line, timeout_ms=left_ms, **wait)
            texts.append(text)
            reply = self._reply(q, text, t0, left_ms)
            if not reply.ready and i + 1 < len(lines):
                break
        assert reply is not None
        sent = len(texts)
        elapsed_ms = (time.perf_counter() - started) * 1000
        return Reply(
            text=texts[0] if sent == 1 else "".join(texts),
            ready=reply.ready,
            exited=reply.exited,
            timed_out=reply.timed_out,
            elapsed_ms=elapsed_ms,
            unsent_lines=len(lines) - sent,
        )

    def _start_call(self, timeout_ms: int) -> Callable[[Quillo], Reply]:
        startup = list(self.profile.startup) if self.profile else []

        def call(q: Quillo) -> Reply:
            started = time.perf_counter()
            text = q.read_until_ready(timeout_ms=timeout_ms)
            first = self._reply(q, text, started, timeout_ms)
            if not startup or not first.ready:
                return first
            rest = self._send_lines(q, startup, timeout_ms, {})
            return Reply(
                text=first.text + rest.text,
                ready=rest.ready,
                exited=rest.exited,
                timed_out=rest.timed_out,
                elapsed_ms=(time.perf_counter() - started) * 1000,
                unsent_lines=rest.unsent_lines,
            )

        return call

    # ---- submitting calls ----

    def _submit(self, fn: Callable[[Quillo], T], deadline_ms: int) -> concurrent.futures.Future[T]:
        return self._worker.submit(fn, deadline_ms)

    def _call(self, fn: Callable[[Quillo], T], deadline_ms: int = 0) -> T:
        if threading.current_thread() is self._worker.thread:
            raise SessionError("a session call cannot be made from the session's own thread")
        future = self._submit(fn, deadline_ms)
        try:
            return future.result()
        except concurrent.futures.CancelledError:
            raise SessionClosed("the session was closed before the call ran") from None
        finally:
            future.cancel()  # an abandoned call (KeyboardInterrupt) does not run later

    async def _acall(self, fn: Callable[[Quillo], T], deadline_ms: int = 0) -> T:
        future = self._submit(fn, deadline_ms)
        try:
            return await asyncio.wrap_future(future)
        except asyncio.CancelledError:
            if future.cancelled() and self._worker.closing and not _current_task_cancelling():
                raise SessionClosed("the session was closed before the call ran") from None
            raise

    # ---- the calls ----
    # Each has a blocking form and a coroutine form (prefix `a`).

    def start(self, timeout_ms: int = START_TIMEOUT_MS) -> Reply:
        """Waits for the first prompt, then sends the profile's start-up lines."""
        return self._call(self._start_call(timeout_ms), timeout_ms * 2)

    async def astart(self, timeout_ms: int = START_TIMEOUT_MS) -> Reply:
        return await self._acall(self._start_call(timeout_ms), timeout_ms * 2)

    def _send_call(
        self, text: str, timeout_ms: int, wait: dict[str, int | None]
    ) -> Callable[[Quillo], Reply]:
        if not isinstance(text, str):
            raise TypeError(f"input must be a str, not {type(text).__name__}")
        lines = (text[:-1] if text.endswith("\n") else text).split("\n")
        return lambda q: self._send_lines(q, lines, timeout_ms, wait)

    def send(
        self,
        text: str,
        timeout_ms: int = DEFAULT_TIMEOUT_MS,
        *,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
        max_output_bytes: int | None = None,
    ) -> Reply:
        """Sends `text` and waits until the program is ready again.

        `text` is split at line feeds (one final line feed is dropped, so
        "x\\n" sends the same as "x"; "" sends an empty line) and sent one line
        at a time, each followed by a line feed and a wait for readiness, so a
        continuation prompt ("... ", PS2) ends each line's wait. If a line's
        reply is not ready, the lines after it are not sent (`unsent_lines`).
        `timeout_ms` bounds the whole call. Raises `ProgramExited` if the
        program had exited before anything was sent.
        """
        wait = {"settle_ms": settle_ms, "quiet_ms": quiet_ms, "max_output_bytes": max_output_bytes}
        return self._call(self._send_call(text, timeout_ms, wait), timeout_ms)

    async def asend(
        self,
        text: str,
        timeout_ms: int = DEFAULT_TIMEOUT_MS,
        *,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
        max_output_bytes: int | None = None,
    ) -> Reply:
        wait = {"settle_ms": settle_ms, "quiet_ms": quiet_ms, "max_output_bytes": max_output_bytes}
        return await self._acall(self._send_call(text, timeout_ms, wait), timeout_ms)

    def _read_call(self, timeout_ms: int, wait: dict[str, int | None]) -> Callable[[Quillo], Reply]:
        def call(q: Quillo) -> Reply:
            started = time.perf_counter()
            return self._reply(q, q.read_until_ready(timeout_ms, **wait), started, timeout_ms)

        return call

    def read(
        self,
        timeout_ms: int = DEFAULT_TIMEOUT_MS,
        *,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
        max_output_bytes: int | None = None,
    ) -> Reply:
        """Waits until the program is ready (or the deadline), sending nothing."""
        wait = {"settle_ms": settle_ms, "quiet_ms": quiet_ms, "max_output_bytes": max_output_bytes}
        return self._call(self._read_call(timeout_ms, wait), timeout_ms)

    async def aread(
        self,
        timeout_ms: int = DEFAULT_TIMEOUT_MS,
        *,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
        max_output_bytes: int | None = None,
    ) -> Reply:
        wait = {"settle_ms": settle_ms, "quiet_ms": quiet_ms, "max_output_bytes": max_output_bytes}
        return await self._acall(self._read_call(timeout_ms, wait), timeout_ms)

    def _drain_call(self) -> Callable[[Quillo], Reply]:
        def call(q: Quillo) -> Reply:
            started = time.perf_counter()
            reply = self._reply(q, q.read_available(), started, 0)
            return dataclasses.replace(reply, timed_out=False)  # a drain never waits

        return call

    def drain(self) -> Reply:
        """Takes the output queued right now (at most 64 KiB), without waiting."""
        return self._call(self._drain_call())

    async def adrain(self) -> Reply:
        return await self._acall(self._drain_call())

    def _interrupt_call(self, timeout_ms: int) -> Callable[[Quillo], Reply]:
        def call(q: Quillo) -> Reply:
            if not q.is_alive():
                raise ProgramExited("the program has exited: reset or close the session")
            started = time.perf_counter()
            q.send_ctrl_c()
            text = q.read_until_ready(timeout_ms) if timeout_ms else ""
            return self._reply(q, text, started, timeout_ms)

        return call

    def interrupt(self, timeout_ms: int = DEFAULT_TIMEOUT_MS) -> Reply:
        """Sends Ctrl-C, then waits for readiness (`timeout_ms=0`: no wait)."""
        return self._call(self._interrupt_call(timeout_ms), timeout_ms)

    async def ainterrupt(self, timeout_ms: int = DEFAULT_TIMEOUT_MS) -> Reply:
        return await self._acall(self._interrupt_call(timeout_ms), timeout_ms)

    def history(self) -> str:
        """Everything read so far (the core keeps the last 4 MiB of raw output)."""
        return self._call(lambda q: q.get_history())

    async def ahistory(self) -> str:
        return await self._acall(lambda q: q.get_history())

    def is_alive(self) -> bool:
        return self._call(lambda q: q.is_alive())

    async def ais_alive(self) -> bool:
        return await self._acall(lambda q: q.is_alive())

    def reset(self, timeout_ms: int = START_TIMEOUT_MS) -> Reply:
        """Ends the program, starts it again (same argv, cwd, env), runs `start`."""
        return self._call(self._reset_call(timeout_ms), timeout_ms * 2)

    async def areset(self, timeout_ms: int = START_TIMEOUT_MS) -> Reply:
        return await self._acall(self._reset_call(timeout_ms), timeout_ms * 2)

    def _reset_call(self, timeout_ms: int) -> Callable[[Quillo], Reply]:
        start = self._start_call(timeout_ms)

        def call(q: Quillo) -> Reply:
            q.reset()
            return start(q)

        return call

    @property
    def closed(self) -> bool:
        return self._worker.closing

    def close(self) -> None:
        """Ends the program and the thread and removes the launcher.

        Queued calls are cancelled (they raise `SessionClosed`); a running call
        ends first (at the latest at its deadline). Calling it again does nothing.
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

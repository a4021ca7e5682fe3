"""A set of named sessions, each with an owner, with bounds on how many are live."""

from __future__ import annotations

import asyncio
import collections
import itertools
import threading
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

from .profiles import Profile
from .session import Session, SessionError

__all__ = [
    "SessionManager",
    "UnknownSession",
    "TooManySessions",
    "DEFAULT_MAX_SESSIONS",
]

DEFAULT_MAX_SESSIONS = 8


class UnknownSession(SessionError):
    """No live session of this owner has this id."""


class TooManySessions(SessionError):
    """The manager, or this owner, already holds its maximum number of sessions."""


@dataclass(frozen=True, slots=True)
class _Entry:
    session: Session
    owner: str | None


class SessionManager:
    """Sessions by id ("s1", "s2", ...; an id is never reused), each with an owner.

    The owner is how the caller tells its clients apart (`quillo-mcp` over
    HTTP: the MCP session that started it); it is `None` unless given. A
    session exists only for its owner: for any other, `get` and `close` raise
    `UnknownSession` exactly as for an id that was never used, and `items`
    leaves it out.

    Bounds: `max_sessions` live sessions in all, and at most
    `max_sessions_per_owner` of them with the same owner (no such bound when
    None). A start in progress counts against both.

    Thread-safe. Closing the manager closes every session; so does the
    interpreter's exit, through each session's own exit hook.
    """

    def __init__(
        self,
        max_sessions: int = DEFAULT_MAX_SESSIONS,
        max_sessions_per_owner: int | None = None,
    ) -> None:
        self.max_sessions = max_sessions
        self.max_sessions_per_owner = max_sessions_per_owner
        self._sessions: dict[str, _Entry] = {}
        self._lock = threading.Lock()
        self._ids = itertools.count(1)
        # Starts in progress, counted against the bounds, by owner.
        self._reserved: collections.Counter[str | None] = collections.Counter()

    def _count(self, owner: str | None) -> int:
        held = sum(1 for e in self._sessions.values() if e.owner == owner)
        return held + self._reserved[owner]

    def open(
        self,
        argv: Sequence[str] | None = None,
        *,
        owner: str | None = None,
        profile: Profile | str | None = None,
        cwd: str | None = None,
        env: Mapping[str, str] | None = None,
        unset_env: Sequence[str] = (),
        markers: Sequence[str] | None = None,
        probe: bool = True,
    ) -> tuple[str, Session]:
        """Starts a session (see `Session`) for `owner` and returns its id and itself."""
        with self._lock:
            if len(self._sessions) + self._reserved.total() >= self.max_sessions:
                raise TooManySessions(
                    f"{self.max_sessions} sessions are live (the limit); close one first"
                )
            per_owner = self.max_sessions_per_owner
            if per_owner is not None and self._count(owner) >= per_owner:
                raise TooManySessions(
                    f"{per_owner} sessions of this client are live (the per-client limit); "
                    "close one first"
                )
            self._reserved[owner] += 1
        try:
            session = Session(
                argv,
                profile=profile,
                cwd=cwd,
                env=env,
                unset_env=unset_env,
                markers=markers,
                probe=probe,
            )
        finally:
            with self._lock:
                self._reserved[owner] -= 1
        with self._lock:
            sid = f"s{next(self._ids)}"
            self._sessions[sid] = _Entry(session, owner)
        return sid, session

    def _unknown(self, sid: str, owner: str | None) -> UnknownSession:
        # Only the owner's own ids are named: another owner's are not its business.
        known = ", ".join(s for s, e in self._sessions.items() if e.owner == owner) or "none"
        return UnknownSession(f"unknown session {sid!r} (live sessions: {known})")

    def get(self, sid: str, owner: str | None = None) -> Session:
        with self._lock:
            entry = self._sessions.get(sid)
            if entry is None or entry.owner != owner:
                raise self._unknown(sid, owner)
        return entry.session

    def items(self, owner: str | None = None) -> list[tuple[str, Session]]:
        """The owner's live sessions, oldest first."""
        with self._lock:
            return [(sid, e.session) for sid, e in self._sessions.items() if e.owner == owner]

    def close(self, sid: str, owner: str | None = None) -> None:
        with self._lock:
            entry = self._sessions.get(sid)
            if entry is None or entry.owner != owner:
                raise self._unknown(sid, owner)
            del self._sessions[sid]
        entry.session.close()

    async def aclose(self, sid: str, owner: str | None = None) -> None:
        await asyncio.get_running_loop().run_in_executor(None, self.close, sid, owner)

    def close_owner(self, owner: str | None) -> int:
        """Closes every session of `owner`, all at once; returns how many."""
        with self._lock:
            mine = [sid for sid, e in self._sessions.items() if e.owner == owner]
            sessions = [self._sessions.pop(sid).session for sid in mine]
        _close_in_parallel(sessions)
        return len(sessions)

    async def aclose_owner(self, owner: str | None) -> int:
        return await asyncio.get_running_loop().run_in_executor(None, self.close_owner, owner)

    def close_all(self) -> None:
        """Closes every session of every owner, all at once."""
        with self._lock:
            sessions = [e.session for e in self._sessions.values()]
            self._sessions.clear()
        _close_in_parallel(sessions)

    def __enter__(self) -> SessionManager:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close_all()


def _close_in_parallel(sessions: list[Session]) -> None:
    """Each session closed on its own thread, so the slowest one bounds the wait."""
    closers = [threading.Thread(target=s.close, name="quillo_agent:close") for s in sessions]
    for t in closers:
        t.start()
    for t in closers:
        t.join()

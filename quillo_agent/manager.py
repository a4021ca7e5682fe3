"""A set of named sessions with a bound on how many are live."""

from __future__ import annotations

import asyncio
import itertools
import threading
from collections.abc import Mapping, Sequence

from .profiles import Profile
from .session import Session, SessionError

__all__ = ["SessionManager", "UnknownSession", "TooManySessions", "DEFAULT_MAX_SESSIONS"]

DEFAULT_MAX_SESSIONS = 8


class UnknownSession(SessionError):
    """No live session has this id."""


class TooManySessions(SessionError):
    """The manager already holds its maximum number of sessions."""


class SessionManager:
    """Sessions by id ("s1", "s2", ...; an id is never reused).

    Thread-safe. Closing the manager closes every session; so does the
    interpreter's exit, through each session's own exit hook.
    """

    def __init__(self, max_sessions: int = DEFAULT_MAX_SESSIONS) -> None:
        self.max_sessions = max_sessions
        self._sessions: dict[str, Session] = {}
        self._lock = threading.Lock()
        self._ids = itertools.count(1)
        self._reserved = 0  # starts in progress, counted against the bound

    def open(
        self,
        argv: Sequence[str] | None = None,
        *,
        profile: Profile | str | None = None,
        cwd: str | None = None,
        env: Mapping[str, str] | None = None,
        unset_env: Sequence[str] = (),
        markers: Sequence[str] | None = None,
    ) -> tuple[str, Session]:
        """Starts a session (see `Session`) and returns its id and itself."""
        with self._lock:
            if len(self._sessions) + self._reserved >= self.max_sessions:
                raise TooManySessions(
                    f"{self.max_sessions} sessions are live (the limit); close one first"
                )
            self._reserved += 1
        try:
            session = Session(
                argv, profile=profile, cwd=cwd, env=env, unset_env=unset_env, markers=markers
            )
        finally:
            with self._lock:
                self._reserved -= 1
        with self._lock:
            sid = f"s{next(self._ids)}"
            self._sessions[sid] = session
        return sid, session

    def get(self, sid: str) -> Session:
        with self._lock:
            session = self._sessions.get(sid)
            known = ", ".join(self._sessions) or "none"
        if session is None:
            raise UnknownSession(f"unknown session {sid!r} (live sessions: {known})")
        return session

    def items(self) -> list[tuple[str, Session]]:
        with self._lock:
            return list(self._sessions.items())

    def close(self, sid: str) -> None:
        with self._lock:
            session = self._sessions.pop(sid, None)
        if session is None:
            raise UnknownSession(f"unknown session {sid!r}")
        session.close()

    async def aclose(self, sid: str) -> None:
        await asyncio.get_running_loop().run_in_executor(None, self.close, sid)

    def close_all(self) -> None:
        """Closes every session, all at once (each on its own thread)."""
        with self._lock:
            sessions = list(self._sessions.values())
            self._sessions.clear()
        closers = [threading.Thread(target=s.close, name="quillo_agent:close") for s in sessions]
        for t in closers:
            t.start()
        for t in closers:
            t.join()

    def __enter__(self) -> SessionManager:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close_all()

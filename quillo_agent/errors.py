"""The exceptions a session raises."""

from __future__ import annotations

__all__ = ["SessionError", "SessionClosed", "SessionBusy", "ProgramExited"]


class SessionError(Exception):
    """A session cannot do what was asked."""


class SessionClosed(SessionError):
    """The session is closed (or closing); nothing more runs on it."""


class SessionBusy(SessionError):
    """Too many calls are already queued on this session."""


class ProgramExited(SessionError):
    """The program had already exited when input was to be sent to it."""

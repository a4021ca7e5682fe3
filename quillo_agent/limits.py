"""The limits a shared deployment (the MCP server) puts on sessions and replies."""

from __future__ import annotations

from dataclasses import dataclass

__all__ = ["Limits"]


@dataclass(frozen=True)
class Limits:
    """Each bound with its default.

    - `max_sessions` (8): live sessions at once; one more start is refused.
    - `max_sessions_per_client` (4): live sessions one client may hold, over
      HTTP, where several clients share the server (at most `max_sessions`
      apply in any case); over stdio the one client has `max_sessions`.
    - `max_clients` (16): MCP sessions (clients) an HTTP server holds at once;
      one more is refused with HTTP 503 until one ends.
    - `default_timeout_ms` (10 s): a call's deadline when the caller gives none.
    - `max_timeout_ms` (50 s): the most any call may ask for (larger values
      are lowered to it), below the 60 s request timeout of common MCP clients.
    - `max_chars` (20,000): characters of text returned by one call; a longer
      text keeps its head and tail around `clipped_text.CUT_MARKER`.
    """

    max_sessions: int = 8
    max_sessions_per_client: int = 4
    max_clients: int = 16
    default_timeout_ms: int = 10_000
    max_timeout_ms: int = 50_000
    max_chars: int = 20_000

    def __post_init__(self) -> None:
        for name in (
            "max_sessions",
            "max_sessions_per_client",
            "max_clients",
            "default_timeout_ms",
            "max_timeout_ms",
            "max_chars",
        ):
            if getattr(self, name) < 1:
                raise ValueError(f"{name} must be at least 1")

    def timeout(self, timeout_ms: int | None) -> int:
        """The deadline a call gets for the `timeout_ms` it asked for."""
        if timeout_ms is None:
            return min(self.default_timeout_ms, self.max_timeout_ms)
        if timeout_ms < 0:
            raise ValueError(f"timeout_ms must not be negative, got {timeout_ms}")
        return min(timeout_ms, self.max_timeout_ms)


"""The text of one call, kept within a bound while it grows.

A call collects output until the program is ready or its deadline passes,
however much that is. It keeps only what it will return: the first half of
`max_chars` characters as they come, and the last half in a window that moves
on, so memory stays at about `max_chars` plus one piece however long the
output runs. A text longer than `max_chars` is returned as its head and tail
around `CUT_MARKER`, which says how many characters were cut; the whole text
is in the session's history (as far as the core keeps it).
"""

from __future__ import annotations

import collections
from collections.abc import Sequence

__all__ = ["ClippedText", "CUT_MARKER"]

# What replaces the middle of a text longer than its bound.
CUT_MARKER = "\n[... {cut} characters cut here; the whole text is in the history ...]\n"
# The tail window keeps at least this many characters, whatever the bound, so
# that a marker and the last line can be looked for at the end of the text.
SUFFIX_KEPT = 4096


class ClippedText:
    """Pieces of text added in order; `value()` is all of them, or the head and
    tail within `max_chars` characters around the marker."""

    def __init__(self, max_chars: int) -> None:
        if max_chars < 1:
            raise ValueError(f"max_chars must be at least 1, got {max_chars}")
        self.max_chars = max_chars
        self._head_room = max_chars // 2
        self._tail_room = max_chars - self._head_room
        self._head: list[str] = []
        self._head_len = 0
        self._tail: collections.deque[str] = collections.deque()
        self._tail_len = 0
        self.total = 0  # characters added in all

    def add(self, piece: str) -> None:
        if not piece:
            return
        self.total += len(piece)
        if self._head_len < self._head_room:
            taken = piece[: self._head_room - self._head_len]
            self._head.append(taken)
            self._head_len += len(taken)
            piece = piece[len(taken) :]
            if not piece:
                return
        self._tail.append(piece)
        self._tail_len += len(piece)
        # Drop whole pieces that lie entirely before the characters kept.
        keep = max(self._tail_room, SUFFIX_KEPT)
        while self._tail_len - len(self._tail[0]) >= keep:
            self._tail_len -= len(self._tail.popleft())

    @property
    def cut(self) -> int:
        """Characters that `value()` leaves out."""
        return max(0, self.total - self.max_chars)

    def value(self) -> str:
        head = "".join(self._head)
        tail = "".join(self._tail)
        if not self.cut:
            return head + tail
        return head + CUT_MARKER.format(cut=self.cut) + tail[len(tail) - self._tail_room :]

    def suffix(self, n: int) -> str:
        """The last `n` characters added (fewer if fewer were added; at most
        SUFFIX_KEPT, or all when nothing was cut)."""
        parts: list[str] = []
        have = 0
        for piece in reversed(self._tail):
            if have >= n:
                break
            parts.append(piece)
            have += len(piece)
        if have < n:
            for piece in reversed(self._head):
                if have >= n:
                    break
                parts.append(piece)
                have += len(piece)
        text = "".join(reversed(parts))
        return text[len(text) - n :] if len(text) > n else text

    def endswith(self, markers: Sequence[str]) -> bool:
        if not markers:
            return False
        return self.suffix(max(len(m) for m in markers)).endswith(tuple(markers))

    def last_line(self, limit: int = 120) -> str:
        """The last non-empty line, at most `limit` characters of its end."""
        for line in reversed(self.suffix(4 * limit).splitlines()):
            if line.strip():
                line = line.rstrip()
                return line if len(line) <= limit else "…" + line[len(line) - limit + 1 :]
        return ""

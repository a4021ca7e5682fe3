"""Type information for quillo, a CPython extension module (Linux only).

quillo drives an interactive command-line program through a pseudo-terminal.
Durations are in milliseconds and sizes in bytes; every `None` argument means
"use the default" (20,000 ms deadline, 2,097,152-byte cap, 200 ms settle time,
80 ms quiet time, 65,536 bytes for `read_available`).
"""

from collections.abc import Sequence
from typing import final

__all__ = ["Quillo"]

@final
class Quillo:
    """A child program on a new pseudo-terminal (24x80, echo off).

    `command` is one program name searched on PATH (no arguments, no shell).
    `interactive` selects the ready-marker wait; `ready_markers` defaults to
    ["pwndbg> ", "(gdb) "]. Usable only from the thread that created it.
    """

    def __new__(
        cls, command: str, interactive: bool, ready_markers: Sequence[str] | None = None
    ) -> Quillo: ...
    def set_ready_markers(self, ready_markers: Sequence[str]) -> None:
        """Replaces the markers; an empty sequence makes every wait a quiet wait."""

    def read_until_ready(
        self,
        timeout_ms: int | None = None,
        max_output_bytes: int | None = None,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
    ) -> str:
        """Read until ready marker appears (interactive=true) OR until output goes quiet (interactive=false)."""

    def send_and_read_until_ready(
        self,
        input: str,
        timeout_ms: int | None = None,
        max_output_bytes: int | None = None,
        settle_ms: int | None = None,
        quiet_ms: int | None = None,
    ) -> str:
        """Send input and read until ready marker returns (interactive=true) OR until output goes quiet (interactive=false)."""

    def read_available(self, max_bytes: int | None = None) -> str:
        """Non-blocking read of buffered output."""

    def send_ctrl_c(self) -> None:
        """Writes the byte 0x03 (what Ctrl-C types)."""

    def get_history(self) -> str:
        """The last 4 MiB of raw output taken by reads, sanitized."""

    def is_alive(self) -> bool:
        """Whether the child still runs."""

    def is_interactive(self) -> bool:
        """The `interactive` flag given at construction."""

    def get_initial_command(self) -> str:
        """The command exactly as given at construction."""

    def close(self) -> None:
        """Ends the child and stops the reader; queued output stays readable."""

    def reset(self) -> None:
        """Ends the child and starts the same command, mode and markers afresh."""

"""quillo-mcp's standard input and output, read and written on the event loop.

The SDK's stdio transport reads and writes the process's standard streams
through worker threads (anyio's `wrap_file`): every message crosses threads
several times, a millisecond or more per tool call on a small machine. Its
`stdio_server` takes any async line source and writer instead; these are
asyncio pipes on private duplicates of descriptors 0 and 1. While they serve,
descriptor 0 reads /dev/null and 1 writes to standard error, as the SDK's own
transport arranges, so nothing else in the process can corrupt the wire; both
are restored when the server ends.

A message (one line of JSON) may be at most `MAX_MESSAGE_BYTES`; a longer
line is read to its end and dropped, and the server goes on.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import os
from collections.abc import AsyncIterator
from typing import Any

from mcp.server.stdio import stdio_server

__all__ = ["MAX_MESSAGE_BYTES", "serve_stdio"]

# The longest message a client may send: far above any tool call (an input of
# several megabytes), a bound on what one line can make the server hold.
MAX_MESSAGE_BYTES = 16 * 1024 * 1024

_log = logging.getLogger(__name__)


class _Lines:
    """The client's messages: lines of standard input, read on the event loop."""

    def __init__(self, reader: asyncio.StreamReader) -> None:
        self._reader = reader

    def __aiter__(self) -> _Lines:
        return self

    async def __anext__(self) -> str:
        while True:
            try:
                line = await self._reader.readuntil(b"\n")
            except asyncio.IncompleteReadError as end:
                if not end.partial:
                    raise StopAsyncIteration from None
                line = end.partial
            except asyncio.LimitOverrunError:
                await self._skip_line()
                continue
            return line.decode("utf-8", "replace")

    async def _skip_line(self) -> None:
        _log.warning("dropped a message longer than %d bytes", MAX_MESSAGE_BYTES)
        while True:
            try:
                await self._reader.readuntil(b"\n")
                return
            except asyncio.LimitOverrunError as e:
                await self._reader.readexactly(e.consumed)
            except asyncio.IncompleteReadError:
                return


class _Writer:
    """The server's messages, written to standard output on the event loop."""

    def __init__(self, writer: asyncio.StreamWriter) -> None:
        self._writer = writer

    async def write(self, text: str) -> None:
        self._writer.write(text.encode("utf-8"))

    async def flush(self) -> None:
        await self._writer.drain()


@contextlib.contextmanager
def _claimed(fd: int, stand_in: int) -> Any:
    """A private duplicate of `fd`, with `fd` pointing at `stand_in` meanwhile."""
    private = os.dup(fd)
    os.set_inheritable(private, False)
    saved = os.dup(fd)
    try:
        os.dup2(stand_in, fd)
        yield private
    finally:
        os.dup2(saved, fd)
        os.close(saved)


@contextlib.asynccontextmanager
async def _pipes() -> AsyncIterator[tuple[_Lines, _Writer]]:
    loop = asyncio.get_running_loop()
    devnull = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
    try:
        with _claimed(0, devnull) as stdin_fd, _claimed(1, 2) as stdout_fd:
            reader = asyncio.StreamReader(limit=MAX_MESSAGE_BYTES)
            read_transport, _ = await loop.connect_read_pipe(
                lambda: asyncio.StreamReaderProtocol(reader), os.fdopen(stdin_fd, "rb", 0)
            )
            write_transport, protocol = await loop.connect_write_pipe(
                asyncio.streams.FlowControlMixin, os.fdopen(stdout_fd, "wb", 0)
            )
            writer = asyncio.StreamWriter(write_transport, protocol, None, loop)
            try:
                yield _Lines(reader), _Writer(writer)
            finally:
                read_transport.close()
                write_transport.close()
    finally:
        os.close(devnull)


async def serve_stdio(server: Any) -> None:
    """Runs the SDK's server `server` (an `MCPServer`) over standard input and output."""
    lowlevel = server._lowlevel_server
    async with _pipes() as (lines, writer):
        async with stdio_server(stdin=lines, stdout=writer) as (read_stream, write_stream):  # type: ignore[arg-type]
            await lowlevel.run(read_stream, write_stream, lowlevel.create_initialization_options())

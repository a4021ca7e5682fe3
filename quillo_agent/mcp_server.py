"""`quillo-mcp`: sessions as MCP tools, over stdio (the default) or Streamable HTTP.

Tools: start, send, read, interrupt, history, list, status, close, reset.
Each call that reads returns the text and the status fields of `Reply` (see
`quillo_agent.reply` for how each is decided) as structured content: `ready`,
`waiting_for_input`, `waiting_program`, `exited`, `timed_out`,
`interrupted`, `unsent_lines`, `elapsed_ms`, and `cut_chars`, the number of
characters cut from the middle of a text longer than the per-call limit (the
whole text stays in `history`). A call that lasts longer than about a second
sends progress notifications about once a second to a client that asked for
them (a progress token): the time so far, the characters received and the
last line of output. `status` says what the program is doing without reading
or sending anything. A request the client cancels stops its call at once
(the session is free for the next); `interrupt` and `close` do not wait for a
running call.

Every tool has a title and the MCP behaviour hints (read-only, destructive,
idempotent, open-world), and every argument its range in the input schema the
client sees. Arguments the schema refuses (a negative timeout, a wrong type,
an unknown profile, an argument the tool does not take ...) are a tool error
that names the argument and says what is wrong, and nothing is logged beyond
a line at INFO; the tool does not run.

Limits (`Limits`, command-line options of `quillo-mcp`): live sessions,
each call's deadline, characters per reply. Bad input (an unknown session, an
argv that is not a list of strings, a program that cannot be started, a
session whose program has exited) is a tool error; the server keeps serving.
When the client disconnects (end of standard input) or the server gets
SIGTERM or SIGHUP, every session is closed: each child ends.

`--http` serves the same tools over the SDK's Streamable HTTP transport,
for several clients at once, each seeing only its own sessions, behind a
bearer token: see `quillo_agent.mcp_http`.

Needs the `mcp` extra: `pip install "quillo[mcp]"`.
"""

from __future__ import annotations

import argparse
import asyncio
import functools
import os
import signal
import sys
from collections.abc import Awaitable, Callable
from types import FrameType
from typing import Annotated, Any, Literal, TypeVar, get_args

import anyio
from pydantic import Field, ValidationError

# typing_extensions (an mcp dependency): the SDK cannot build schemas from
# nested typing.TypedDicts before Python 3.12.
from typing_extensions import TypedDict

from mcp.server.mcpserver import Context, MCPServer
from mcp.server.mcpserver.exceptions import ToolError, UnexpectedToolError
from mcp.types import CallToolResult, InputRequiredResult, ToolAnnotations
from mcp.types import Tool as MCPTool

from . import mcp_http, mcp_stdio
from .call_loop import Progress
from .launcher import LaunchError
from .limits import Limits
from .manager import SessionManager
from .profiles import PROFILES
from .reply import Reply
from .session import Session, SessionError

__all__ = ["build_server", "main", "ToolReply"]

T = TypeVar("T")

# The tools' arguments, as the input schema declares them. Numbers and
# booleans are strict: a JSON integer or true/false, not a string that reads
# as one (the SDK's own leniency, a list sent as a JSON string, stays).
# Integers stop at the largest one every JSON client holds exactly (a
# JavaScript number): anything above is a mistake, not a request.
MAX_JSON_INT = 2**53 - 1

ProfileName = Literal["gdb", "python", "pdb", "sh", "bash"]
if set(get_args(ProfileName)) != set(PROFILES):
    raise RuntimeError("ProfileName must list exactly the names in PROFILES")

SessionId = Annotated[str, Field(description="A session id returned by start, e.g. s1.")]
TimeoutMs = Annotated[
    Annotated[int, Field(strict=True, ge=0, le=MAX_JSON_INT)] | None,
    Field(
        description="The call's deadline in ms (default and maximum: the server's limits; "
        "a larger value is lowered to the maximum)."
    ),
]
# What the session's launcher accepts as a variable name.
EnvName = Annotated[str, Field(pattern=r"^[A-Za-z_][A-Za-z0-9_]*$")]
Argv = Annotated[
    Annotated[list[str], Field(min_length=1)] | None,
    Field(description="Program and arguments, passed exactly (no shell)."),
]
Env = Annotated[
    Annotated[dict[EnvName, str], Field(json_schema_extra={"additionalProperties": False})] | None,
    Field(description="Environment variables to set for the program."),
]
UnsetEnv = Annotated[
    list[EnvName] | None, Field(description="Environment variables to remove for the program.")
]
Markers = Annotated[
    list[Annotated[str, Field(min_length=1)]] | None,
    Field(
        description="Prompt strings that end a wait (replace the profile's); [] means "
        "wait for quiet output."
    ),
]
HistoryStart = Annotated[
    int, Field(strict=True, ge=0, le=MAX_JSON_INT, description="The first character to return.")
]
Wait = Annotated[
    bool,
    Field(
        strict=True,
        description="true: wait until the program is ready; false: take what is there now.",
    ),
]
# The request context the SDK passes to a tool that asks for it (not an argument).
Ctx = Context[Any, Any]

# What each tool does to the world, for clients that decide by it whether to
# ask before a call. Read-only: read, history, list, and status; none of them
# sends anything to a program. (For read-only tools the destructive and
# idempotent hints do not apply; they are set to what is true anyway.)
READ_ONLY = ToolAnnotations(
    read_only_hint=True, destructive_hint=False, idempotent_hint=True, open_world_hint=False
)
# start, send and reset run or feed an arbitrary program (a shell, a debugger):
# it may change or delete anything this user can, and reach anything, so they
# are destructive and open-world, and no call of them is idempotent.
ARBITRARY_PROGRAM = ToolAnnotations(
    read_only_hint=False, destructive_hint=True, idempotent_hint=False, open_world_hint=True
)
# interrupt sends Ctrl-C: it asks the program to stop what it is doing and give
# the prompt back (a debugger stops its inferior, a REPL drops the line, a
# shell its foreground job); the session, the program and its state stay, so
# not destructive. It reaches only the session's own program (not open-world),
# and a second one may meet another state (not idempotent).
INTERRUPT = ToolAnnotations(
    read_only_hint=False, destructive_hint=False, idempotent_hint=False, open_world_hint=False
)
# close ends the program and forgets its state: destructive. Closing again
# changes nothing more (it is an unknown session then): idempotent.
CLOSE = ToolAnnotations(
    read_only_hint=False, destructive_hint=True, idempotent_hint=True, open_world_hint=False
)


class ToolReply(TypedDict):
    """What start, send, read, interrupt and reset return."""

    session: str
    text: str
    ready: bool
    waiting_for_input: bool | None
    waiting_program: str | None
    exited: bool
    timed_out: bool
    interrupted: bool
    elapsed_ms: float
    unsent_lines: int
    cut_chars: int


class StatusReply(TypedDict):
    """What status returns."""

    session: str
    state: str
    program: str | None
    pid: int | None
    call: str | None
    output_waiting: bool | None
    busy: bool
    reason: str | None


class HistoryPage(TypedDict):
    session: str
    text: str
    start: int
    total_chars: int
    next_start: int | None


class SessionInfo(TypedDict):
    session: str
    argv: list[str]
    profile: str | None
    alive: bool


class SessionList(TypedDict):
    sessions: list[SessionInfo]
    max_sessions: int


class Closed(TypedDict):
    session: str
    closed: bool


# Failures that are the caller's to fix; anything else is a crash, logged.
_EXPECTED = (SessionError, LaunchError, ValueError, TypeError, RuntimeError, OSError)


async def _guard(what: str, call: Awaitable[T]) -> T:
    try:
        return await call
    except _EXPECTED as e:
        raise ToolError(f"{what}: {e}") from e


def _loc(loc: tuple[int | str, ...]) -> str:
    """A pydantic error location the way the launcher names values: env['A'], argv[0]."""
    out = str(loc[0])
    for part in loc[1:]:
        out += " (the name)" if part == "[key]" else f"[{part!r}]"
    return out


def _argument_errors(tool: str, error: ValidationError) -> str:
    problems = []
    for e in error.errors():
        problem = f"{_loc(e['loc'])}: {e['msg']}"
        if e["type"] != "missing":
            got = repr(e["input"])
            problem += f" (got {got if len(got) <= 60 else got[:57] + '...'})"
        problems.append(problem)
    return f"invalid arguments for {tool}: " + "; ".join(problems)


class _Server(MCPServer[Any]):
    """The SDK's server, with argument errors that name the argument in a line
    (not pydantic's whole report) and tools that take no argument beyond their
    schema's, which says so (`additionalProperties: false`): a misspelt
    optional argument is an error, not a silent default."""

    _arguments: dict[str, frozenset[str]] = {}

    async def list_tools(self) -> list[MCPTool]:
        tools = await super().list_tools()
        for tool in tools:
            tool.input_schema = {**tool.input_schema, "additionalProperties": False}
        self._arguments = {t.name: frozenset(t.input_schema.get("properties", ())) for t in tools}
        return tools

    async def call_tool(
        self, name: str, arguments: dict[str, Any], context: Ctx | None = None
    ) -> CallToolResult | InputRequiredResult:
        if name not in self._arguments:
            await self.list_tools()
        known = self._arguments.get(name)
        unknown = sorted(set(arguments) - known) if known is not None else []
        if unknown:
            raise ToolError(
                f"invalid arguments for {name}: {', '.join(map(repr, unknown))}: no such "
                f"argument (it takes: {', '.join(sorted(known or ())) or 'none'})"
            )
        try:
            return await super().call_tool(name, arguments, context)
        except UnexpectedToolError:
            raise
        except ToolError as e:
            # The SDK's argument check: its cause is the pydantic error.
            if isinstance(e.__cause__, ValidationError):
                raise ToolError(_argument_errors(name, e.__cause__)) from e.__cause__
            raise


def build_server(
    limits: Limits | None = None,
    *,
    http: mcp_http.HttpOptions | None = None,
    probe: bool = True,
) -> tuple[MCPServer[Any], SessionManager]:
    """The server and the manager holding its sessions (close it when done).

    With `http`, the server is for HTTP: every request needs its token, and
    each MCP session is a client that owns the sessions it starts. `probe=False`
    starts every session without the probe of the terminal's state (readiness
    by markers and quiet time only)."""
    limits = limits or Limits()
    per_client = min(limits.max_sessions_per_client, limits.max_sessions) if http else None
    manager = SessionManager(limits.max_sessions, per_client)
    clients = mcp_http.Clients(manager, per_client=http is not None)
    server: MCPServer[Any] = _Server(
        "quillo",
        instructions=(
            "Drive interactive terminal programs (gdb, pdb, Python, shells, any program that "
            "reads its terminal). `start` a session, `send` a line and get the reply up to the "
            "moment the program waits for input again, prompt or not; `ready` says it waits "
            "(`waiting_program` names the one that reads, e.g. gdb's inferior), `timed_out` "
            "that the deadline passed first, `exited` that the program is gone. Use `status` "
            "to see what it is doing, and `interrupt` (Ctrl-C) for one that does not come back."
        ),
        log_level="WARNING",
        **(mcp_http.auth_arguments(http) if http else {}),
    )

    def tool_reply(sid: str, reply: Reply) -> ToolReply:
        return ToolReply(
            session=sid,
            text=reply.text,
            ready=reply.ready,
            waiting_for_input=reply.waiting_for_input,
            waiting_program=reply.waiting_program,
            exited=reply.exited,
            timed_out=reply.timed_out,
            interrupted=reply.interrupted,
            elapsed_ms=round(reply.elapsed_ms, 3),
            unsent_lines=reply.unsent_lines,
            cut_chars=reply.cut_chars,
        )

    def progress_of(ctx: Ctx, deadline_ms: int) -> Callable[[Progress], None]:
        """Progress notifications for this request (none unless the client sent a
        progress token); called on the session's thread about once a second."""
        loop = asyncio.get_running_loop()

        def report(p: Progress) -> None:
            message = f"{p.elapsed_ms / 1000:.1f} s, {p.received_chars:,} characters received"
            if p.last_line:
                message += f"; last line: {p.last_line}"
            update = ctx.report_progress(round(p.elapsed_ms / 1000, 1), deadline_ms / 1000, message)
            asyncio.run_coroutine_threadsafe(update, loop)

        return report

    def bounded(ctx: Ctx, deadline_ms: int) -> dict[str, Any]:
        """A call's text bound and its progress reports."""
        return {"max_chars": limits.max_chars, "progress": progress_of(ctx, deadline_ms)}

    async def on_session(
        owner: str | None, sid: str, what: str, call: Callable[[Session], Awaitable[Reply]]
    ) -> ToolReply:
        async def run() -> Reply:
            return await call(manager.get(sid, owner))

        return tool_reply(sid, await _guard(f"{what} {sid}", run()))

    @server.tool(title="Start a program", annotations=ARBITRARY_PROGRAM)
    async def start(
        ctx: Ctx,
        argv: Argv = None,
        profile: ProfileName | None = None,
        cwd: str | None = None,
        env: Env = None,
        unset_env: UnsetEnv = None,
        markers: Markers = None,
        timeout_ms: TimeoutMs = None,
    ) -> ToolReply:
        """Start a program on a new terminal and wait for its first prompt.

        argv: program and arguments, passed exactly (no shell). profile: one of
        gdb, python, pdb, sh, bash (markers, environment and start-up commands;
        its default argv when argv is omitted). markers: prompt strings that end
        a wait (replaces the profile's; [] means wait for quiet output). env /
        unset_env: environment variables to set / remove for the program.
        """
        deadline = limits.timeout(timeout_ms)
        owner = clients.owner(ctx)

        async def run() -> ToolReply:
            # Starting a program takes a few milliseconds: off the event loop,
            # so other clients' requests go on meanwhile.
            opened = functools.partial(
                manager.open,
                argv,
                owner=owner,
                profile=profile,
                cwd=cwd,
                env=env,
                unset_env=unset_env or (),
                markers=markers,
                probe=probe,
            )
            loop = asyncio.get_running_loop()
            starting = loop.run_in_executor(None, opened)

            def unwanted(done: asyncio.Future[tuple[str, Session]]) -> None:
                if not done.cancelled() and done.exception() is None:
                    loop.run_in_executor(None, manager.close, done.result()[0], owner)

            try:
                sid, session = await asyncio.shield(starting)
            except asyncio.CancelledError:
                # The client gave up while the program started: close it once it has.
                starting.add_done_callback(unwanted)
                raise
            try:
                return tool_reply(sid, await session.astart(deadline, **bounded(ctx, deadline)))
            except BaseException:
                await manager.aclose(sid, owner)
                raise

        return await _guard("start", run())

    @server.tool(title="Send input", annotations=ARBITRARY_PROGRAM)
    async def send(
        ctx: Ctx, session: SessionId, input: str, timeout_ms: TimeoutMs = None
    ) -> ToolReply:
        """Send input (each line followed by Enter) and wait until the program is ready."""
        deadline = limits.timeout(timeout_ms)
        return await on_session(
            clients.owner(ctx),
            session,
            "send to",
            lambda s: s.asend(input, deadline, **bounded(ctx, deadline)),
        )

    # Takes output the program already wrote (kept in the history): sends nothing.
    @server.tool(title="Read output", annotations=READ_ONLY)
    async def read(
        ctx: Ctx, session: SessionId, wait: Wait = True, timeout_ms: TimeoutMs = None
    ) -> ToolReply:
        """Read output: wait until ready (wait=true) or take what is there now (wait=false)."""
        deadline = limits.timeout(timeout_ms)
        owner = clients.owner(ctx)
        return await on_session(
            owner,
            session,
            "read",
            lambda s: (
                s.aread(deadline, **bounded(ctx, deadline))
                if wait
                else s.adrain(max_chars=limits.max_chars)
            ),
        )

    @server.tool(title="Interrupt (Ctrl-C)", annotations=INTERRUPT)
    async def interrupt(ctx: Ctx, session: SessionId, timeout_ms: TimeoutMs = None) -> ToolReply:
        """Send Ctrl-C (SIGINT to the foreground program) and wait until ready."""
        deadline = limits.timeout(timeout_ms)
        return await on_session(
            clients.owner(ctx),
            session,
            "interrupt",
            lambda s: s.ainterrupt(deadline, **bounded(ctx, deadline)),
        )

    @server.tool(title="Restart the program", annotations=ARBITRARY_PROGRAM)
    async def reset(ctx: Ctx, session: SessionId, timeout_ms: TimeoutMs = None) -> ToolReply:
        """End the program and start it again with the same argv, cwd and environment."""
        deadline = limits.timeout(timeout_ms)
        return await on_session(
            clients.owner(ctx),
            session,
            "reset",
            lambda s: s.areset(deadline, **bounded(ctx, deadline)),
        )

    @server.tool(title="Output history", annotations=READ_ONLY)
    async def history(ctx: Ctx, session: SessionId, start: HistoryStart = 0) -> HistoryPage:
        """The session's whole output so far (last 4 MiB), from character `start`,
        at most the per-call limit of characters; `next_start` pages on."""
        owner = clients.owner(ctx)

        async def run() -> HistoryPage:
            text = await manager.get(session, owner).ahistory()
            end = min(len(text), start + limits.max_chars)
            return HistoryPage(
                session=session,
                text=text[start:end],
                start=start,
                total_chars=len(text),
                next_start=end if end < len(text) else None,
            )

        return await _guard(f"history of {session}", run())

    @server.tool(name="list", title="List sessions", annotations=READ_ONLY, structured_output=True)
    async def list_sessions(ctx: Ctx) -> SessionList:
        """The live sessions (over HTTP: this client's); max_sessions is the most it may hold."""
        infos: list[SessionInfo] = []
        for sid, s in manager.items(clients.owner(ctx)):
            try:
                alive = await s.ais_alive()
            except SessionError:
                alive = False
            infos.append(
                SessionInfo(
                    session=sid,
                    argv=s.argv,
                    profile=s.profile.name if s.profile else None,
                    alive=alive,
                )
            )
        return SessionList(sessions=infos, max_sessions=per_client or limits.max_sessions)

    @server.tool(title="What the program is doing", annotations=READ_ONLY)
    async def status(ctx: Ctx, session: SessionId) -> StatusReply:
        """What the program is doing right now, without reading or sending anything and
        without waiting for a running call: state (waiting for input, running, blocked in
        another call, stopped, exited, unknown), the foreground program and its call, and
        whether output is waiting to be read."""

        async def run() -> StatusReply:
            now = await manager.get(session, clients.owner(ctx)).astatus()
            return StatusReply(
                session=session,
                state=now.state,
                program=now.program,
                pid=now.pid,
                call=now.call,
                output_waiting=now.output_waiting,
                busy=now.busy,
                reason=now.reason,
            )

        return await _guard(f"status of {session}", run())

    @server.tool(title="Close a session", annotations=CLOSE)
    async def close(ctx: Ctx, session: SessionId) -> Closed:
        """End the program and forget the session."""
        await _guard(f"close {session}", manager.aclose(session, clients.owner(ctx)))
        return Closed(session=session, closed=True)

    return server, manager


def _grace_seconds(text: str) -> float:
    value = float(text)
    if not 0 < value <= mcp_http.MAX_CLIENT_GRACE_S:
        raise argparse.ArgumentTypeError(
            f"must be more than 0 and at most {mcp_http.MAX_CLIENT_GRACE_S:g}"
        )
    return value


# Options that mean something only over HTTP (default None: not given).
_HTTP_ONLY = ("host", "port", "token_file", "allow_host", "max_sessions_per_client", "max_clients")


def _arguments(argv: list[str] | None) -> tuple[argparse.Namespace, Limits]:
    defaults = Limits()
    parser = argparse.ArgumentParser(
        prog="quillo-mcp",
        description="An MCP server (stdio, or Streamable HTTP with --http) that drives "
        f"terminal programs through quillo. Profiles: {', '.join(PROFILES)}.",
    )
    parser.add_argument("--max-sessions", type=int, default=defaults.max_sessions)
    parser.add_argument("--default-timeout-ms", type=int, default=defaults.default_timeout_ms)
    parser.add_argument("--max-timeout-ms", type=int, default=defaults.max_timeout_ms)
    parser.add_argument("--max-chars", type=int, default=defaults.max_chars)
    parser.add_argument(
        "--no-probe",
        action="store_true",
        help="decide readiness by prompt markers and quiet output only, without reading "
        "what the program does from /proc",
    )
    http = parser.add_argument_group("HTTP (each client an MCP session of its own)")
    http.add_argument(
        "--http", action="store_true", help="serve over Streamable HTTP instead of stdio"
    )
    http.add_argument(
        "--host",
        help=f"address to listen on (default {mcp_http.DEFAULT_HOST}; any other is warned about)",
    )
    http.add_argument(
        "--port", type=int, help=f"port (default {mcp_http.DEFAULT_PORT}; 0 picks a free one)"
    )
    http.add_argument(
        "--token-file",
        metavar="FILE",
        help="the bearer token, in a file only its owner may read "
        f"(else ${mcp_http.TOKEN_ENV}, else one is generated and printed)",
    )
    http.add_argument(
        "--allow-host",
        action="append",
        metavar="NAME",
        help="also accept this name in the Host header (a proxy's public name); repeatable",
    )
    http.add_argument(
        "--max-sessions-per-client",
        type=int,
        metavar="N",
        help=f"live sessions one client may hold (default {defaults.max_sessions_per_client}, "
        "at most --max-sessions)",
    )
    http.add_argument(
        "--max-clients",
        type=int,
        metavar="N",
        help=f"MCP sessions at once (default {defaults.max_clients}); one more gets HTTP 503",
    )
    # How long a client may be gone before its sessions end (shorter for tests).
    http.add_argument(
        "--client-grace-s",
        type=_grace_seconds,
        default=mcp_http.CLIENT_GRACE_S,
        help=argparse.SUPPRESS,
    )
    args = parser.parse_args(argv)
    if not args.http:
        given = [f"--{n.replace('_', '-')}" for n in _HTTP_ONLY if getattr(args, n) is not None]
        if given:
            parser.error(f"{', '.join(given)}: only with --http")
    if args.port is not None and not 0 <= args.port <= 65535:
        parser.error(f"--port: {args.port} is not a port number")
    try:
        limits = Limits(
            max_sessions=args.max_sessions,
            max_sessions_per_client=_or(
                args.max_sessions_per_client, defaults.max_sessions_per_client
            ),
            max_clients=_or(args.max_clients, defaults.max_clients),
            default_timeout_ms=args.default_timeout_ms,
            max_timeout_ms=args.max_timeout_ms,
            max_chars=args.max_chars,
        )
    except ValueError as e:
        parser.error(str(e))
    return args, limits


def _or(value: int | None, default: int) -> int:
    return default if value is None else value


def _exit_on_signal(signum: int, frame: FrameType | None) -> None:
    raise SystemExit(128 + signum)


def main(argv: list[str] | None = None) -> int:
    # Read once, and kept from the programs the sessions start.
    env_token = os.environ.pop(mcp_http.TOKEN_ENV, None)
    args, limits = _arguments(argv)
    http: mcp_http.HttpOptions | None = None
    generated = False
    if args.http:
        try:
            token, generated = mcp_http.load_token(args.token_file, env_token)
        except mcp_http.TokenError as e:
            sys.stderr.write(f"quillo-mcp: {e}\n")
            return 2
        http = mcp_http.HttpOptions(
            token=token,
            host=args.host if args.host is not None else mcp_http.DEFAULT_HOST,
            port=args.port if args.port is not None else mcp_http.DEFAULT_PORT,
            allowed_hosts=tuple(args.allow_host or ()),
            client_grace_s=args.client_grace_s,
        )
    server, manager = build_server(limits, http=http, probe=not args.no_probe)
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _exit_on_signal)
    try:
        if http is None:
            anyio.run(mcp_stdio.serve_stdio, server)
        else:
            return mcp_http.serve(server, http, limits.max_clients, generated)
    except KeyboardInterrupt:
        pass
    finally:
        manager.close_all()
    return 0


if __name__ == "__main__":
    sys.exit(main())

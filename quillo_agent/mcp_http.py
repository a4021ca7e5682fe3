"""`quillo-mcp --http`: the MCP server over Streamable HTTP, locked down.

The transport is the SDK's own: `MCPServer.streamable_http_app` (its
Streamable HTTP transport and session manager, stateful, at `/mcp`) served
by uvicorn. What this module adds:

- Address: 127.0.0.1 unless `--host` says otherwise; a non-loopback address
  gets a warning on standard error.
- A bearer token on every request, checked by the SDK's bearer middleware
  through a `TokenVerifier` that compares in constant time. It comes from
  `--token-file` (a file only its owner may read or write), else from the
  `QUILLO_MCP_TOKEN` environment variable (removed from the environment the
  programs inherit), else it is generated and printed once to standard error.
  A request without it, or with another, gets 401 before the MCP layer sees
  it: no MCP session, no tool.
- The SDK's DNS-rebinding protection (Host and Origin checks) for the
  loopback names and the addresses the server was told about.
- Clients: each MCP session is one, and owns the sessions it starts (see
  `Clients`). When it ends, its sessions are closed: at once after its
  DELETE; `CLIENT_GRACE_S` after it last had a request in flight or its GET
  stream open (the SDK's idle rule, which is how a client whose connection
  is gone is noticed); and at the server's exit.

What it does not protect against is said in the README ("Over HTTP"): the
token holder gets a shell; there is no TLS.
"""

from __future__ import annotations

import hmac
import ipaddress
import os
import secrets
import signal
import stat
import sys
from dataclasses import dataclass
from types import FrameType
from typing import Any

from pydantic import AnyHttpUrl

from mcp.server.auth.provider import AccessToken
from mcp.server.auth.settings import AuthSettings
from mcp.server.connection import Connection
from mcp.server.mcpserver import Context, MCPServer
from mcp.server.mcpserver.exceptions import ToolError
from mcp.server.transport_security import TransportSecuritySettings

from .manager import SessionManager

__all__ = [
    "CLIENT_GRACE_S",
    "MAX_CLIENT_GRACE_S",
    "Clients",
    "HttpOptions",
    "TOKEN_ENV",
    "TokenError",
    "load_token",
    "serve",
]

# How long an MCP session may have no request in flight and no GET stream
# open (its client is gone, or silent) before it ends and its sessions are
# closed. Closing then takes a few seconds at most, so the sessions of a
# vanished client are gone within 30 s. MAX_CLIENT_GRACE_S: the most the
# (hidden, for tests) --client-grace-s may ask for.
CLIENT_GRACE_S = 20.0
MAX_CLIENT_GRACE_S = 30.0
# uvicorn's wait, at exit, for open connections (GET streams) to end.
SHUTDOWN_GRACE_S = 3
# HTTP connections uvicorn serves at once, per allowed client (a GET stream
# and a few calls in parallel); beyond, it answers 503.
CONNECTIONS_PER_CLIENT = 4

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8000
PATH = "/mcp"  # the SDK's default Streamable HTTP path

TOKEN_ENV = "QUILLO_MCP_TOKEN"
MIN_TOKEN_CHARS = 16
MAX_TOKEN_CHARS = 1024
GENERATED_TOKEN_BYTES = 32  # secrets.token_urlsafe: 43 characters

_LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")
_WILDCARDS = ("", "0.0.0.0", "::")


class TokenError(Exception):
    """The token given cannot be used; the message says why (never the token)."""


@dataclass(frozen=True)
class HttpOptions:
    """Where and how the HTTP server listens."""

    token: str
    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    # Further Host header names (and Origin hosts) to accept, e.g. a TLS
    # proxy's public name.
    allowed_hosts: tuple[str, ...] = ()
    client_grace_s: float = CLIENT_GRACE_S


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _url_host(host: str) -> str:
    return f"[{host}]" if ":" in host and not host.startswith("[") else host


def check_token(token: str, where: str) -> str:
    if not MIN_TOKEN_CHARS <= len(token) <= MAX_TOKEN_CHARS:
        raise TokenError(
            f"the token from {where} has {len(token)} characters; "
            f"it needs {MIN_TOKEN_CHARS} to {MAX_TOKEN_CHARS}"
        )
    if not all("!" <= c <= "~" for c in token):
        raise TokenError(
            f"the token from {where} has a character that is not printable ASCII "
            "(or a space); an HTTP header cannot carry it as is"
        )
    return token


def read_token_file(path: str) -> str:
    """The token in `path`: a regular file that only its owner may read or
    write (as ssh wants of a private key), its first line without the line end."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError as e:
        raise TokenError(f"cannot read the token file {path}: {e.strerror}") from e
    with os.fdopen(fd, "rb") as f:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode):
            raise TokenError(f"the token file {path} is not a regular file")
        if st.st_mode & 0o077:
            raise TokenError(
                f"the token file {path} is open to group or others "
                f"(mode {stat.S_IMODE(st.st_mode):04o}); make it private: chmod 600 {path}"
            )
        data = f.read(MAX_TOKEN_CHARS + 2)
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError as e:
        raise TokenError(f"the token file {path} is not ASCII text") from e
    lines = text.splitlines()
    return check_token(lines[0] if lines else "", path)


def load_token(token_file: str | None, from_environment: str | None) -> tuple[str, bool]:
    """(the token, whether it was generated): from the file, else the value
    of the environment variable, else a new one."""
    if token_file is not None:
        return read_token_file(token_file), False
    if from_environment is not None:
        return check_token(from_environment, TOKEN_ENV), False
    return secrets.token_urlsafe(GENERATED_TOKEN_BYTES), True


class BearerToken:
    """The SDK's `TokenVerifier` for one shared secret, compared in constant time."""

    def __init__(self, token: str) -> None:
        self._token = token.encode("ascii")

    async def verify_token(self, token: str) -> AccessToken | None:
        if hmac.compare_digest(token.encode("utf-8", "replace"), self._token):
            return AccessToken(token=token, client_id="quillo-mcp", scopes=[])
        return None


def auth_arguments(options: HttpOptions) -> dict[str, Any]:
    """`MCPServer` arguments that make every HTTP request need the token.

    The SDK's auth is built for OAuth: AuthSettings needs an issuer URL. With
    no authorization server provider and no resource server URL, nothing is
    published from it (no OAuth routes, no protected resource metadata), so
    it just names this server. What remains is the part that fits: the
    bearer middleware asking our TokenVerifier, and a plain 401 otherwise.
    """
    return {
        "token_verifier": BearerToken(options.token),
        "auth": AuthSettings(
            issuer_url=AnyHttpUrl(f"http://{_url_host(options.host or DEFAULT_HOST)}"),
            resource_server_url=None,
        ),
    }


def transport_security(options: HttpOptions) -> TransportSecuritySettings:
    """The SDK's DNS-rebinding protection: a request must name, in its Host
    header (and in its Origin, when a browser sends one), a loopback name, the
    address the server listens on, or one given by --allow-host."""
    names = list(_LOOPBACK_NAMES)
    if options.host not in _WILDCARDS:
        names.append(_url_host(options.host))
    names += [_url_host(h) for h in options.allowed_hosts]
    names = list(dict.fromkeys(names))
    origins = [f"{scheme}://{n}" for n in names for scheme in ("http", "https")]
    return TransportSecuritySettings(
        enable_dns_rebinding_protection=True,
        # Each name without a port (behind a proxy on 80 or 443) and with any.
        allowed_hosts=[h for n in names for h in (n, f"{n}:*")],
        allowed_origins=[o for origin in origins for o in (origin, f"{origin}:*")],
    )


class Clients:
    """Who a tool call comes from, as the owner of the sessions it starts.

    Over stdio the server has one client: the owner is always None. Over
    HTTP each MCP session is a client of its own, owning what it starts, and
    seeing nothing else. When an MCP session ends (its DELETE, the idle rule,
    the server's exit) the SDK unwinds its connection's exit stack, where the
    session's first call put the closing of its sessions.
    """

    def __init__(self, manager: SessionManager, per_client: bool) -> None:
        self._manager = manager
        self._per_client = per_client
        self._watched: set[str] = set()  # MCP sessions whose end closes their sessions

    def owner(self, ctx: Context[Any, Any]) -> str | None:
        if not self._per_client:
            return None
        connection = _connection(ctx)
        client = connection.session_id
        if client is None:
            raise ToolError(
                "quillo-mcp over HTTP keeps sessions per MCP session: connect with the "
                "initialize handshake (which gives an Mcp-Session-Id), not with "
                "single-exchange requests"
            )
        if client not in self._watched:
            self._watched.add(client)
            connection.exit_stack.push_async_callback(self._ended, client)
        return client

    async def _ended(self, client: str) -> None:
        self._watched.discard(client)
        await self._manager.aclose_owner(client)


def _connection(ctx: Context[Any, Any]) -> Connection:
    # The SDK keeps a client's state and teardown on its Connection and
    # documents Connection.exit_stack for per-connection cleanup, but (2.3)
    # hands tools no public way to it: the request's ServerSession holds it.
    connection = getattr(ctx.request_context.session, "_connection", None)
    if not isinstance(connection, Connection):
        raise RuntimeError(
            "this version of the mcp SDK gives no way to a request's connection, "
            "which quillo-mcp --http needs to tell its clients apart"
        )
    return connection


def serve(
    server: MCPServer[Any], options: HttpOptions, max_clients: int, generated_token: bool
) -> int:
    """Serves until SIGTERM, SIGINT or SIGHUP; returns the exit status for a
    SIGHUP (the others arrive as SystemExit or KeyboardInterrupt, as uvicorn
    hands them back to the handlers that were there before it)."""
    import uvicorn

    app = server.streamable_http_app(
        streamable_http_path=PATH,
        session_idle_timeout=options.client_grace_s,
        max_sessions=max_clients,
        transport_security=transport_security(options),
        host=options.host,
    )
    config = uvicorn.Config(
        app,
        host=options.host,
        port=options.port,
        log_level="warning",
        timeout_graceful_shutdown=SHUTDOWN_GRACE_S,
        limit_concurrency=CONNECTIONS_PER_CLIENT * max_clients,
    )
    # Bound and listening before serving, so that the address printed is one
    # that accepts: a client that connects at once waits in the backlog
    # while uvicorn starts, instead of being refused.
    sock = config.bind_socket()
    sock.listen(config.backlog)
    port = sock.getsockname()[1]
    say = sys.stderr.write
    say(f"quillo-mcp: serving MCP at http://{_url_host(options.host)}:{port}{PATH}\n")
    if generated_token:
        say(f"quillo-mcp: bearer token (generated for this run): {options.token}\n")
    if not is_loopback(options.host):
        say(
            f"quillo-mcp: warning: listening on {options.host}, not on loopback: anyone who "
            "can reach this port and has the token can run any program as this user, and "
            "the traffic (token included) is not encrypted; put a TLS proxy or an SSH "
            "tunnel in front\n"
        )
    sys.stderr.flush()

    userver = uvicorn.Server(config)
    hangups: list[int] = []

    def on_hangup(signum: int, frame: FrameType | None) -> None:
        hangups.append(signum)
        userver.handle_exit(signum, frame)

    previous = signal.signal(signal.SIGHUP, on_hangup)
    try:
        userver.run(sockets=[sock])
    finally:
        signal.signal(signal.SIGHUP, previous)
        sock.close()
    return 128 + signal.SIGHUP if hangups else 0

"""quillo-mcp --http end to end: a real server on a free loopback port and the
SDK's own streamable_http_client. Without the right bearer token nothing is
served or started; with it, gdb answers; a client sees and touches only its
own sessions, within its own bound; a client that leaves (DELETE, or killed)
leaves no child once the grace has passed; the server's exit ends every
child; Host and Origin are checked; the token file must be private."""

from __future__ import annotations

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time
from contextlib import asynccontextmanager, contextmanager
from dataclasses import dataclass
from pathlib import Path

import pytest

from agent_calls import build_debuggee, call, error, run
from agent_probe import descendants, wait_for
from conftest import process_state

pytest.importorskip("mcp", reason="the mcp extra (in requirements-dev.txt)")
import httpx2  # noqa: E402
from mcp import ClientSession  # noqa: E402
from mcp.client.streamable_http import streamable_http_client  # noqa: E402

SERVER = shutil.which("quillo-mcp", path=os.path.dirname(sys.executable))
pytestmark = pytest.mark.skipif(SERVER is None, reason="quillo-mcp is not installed beside python")

TOKEN = "test-token-for-quillo-mcp-0123456789"
# Hang guards (a server that does not come up, exit or let go), not timings.
CEILING_S = 60.0


@dataclass
class Server:
    proc: subprocess.Popen
    url: str
    log: Path

    @property
    def pid(self) -> int:
        return self.proc.pid

    def stderr(self) -> str:
        return self.log.read_text()


def server_env(**extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in ("DEBUGINFOD_URLS", "QUILLO_MCP_TOKEN")}
    env.update(extra)
    return env


@contextmanager
def http_server(tmp_path: Path, *args: str, token: str | None = TOKEN):
    """`quillo-mcp --http` on a free port (with `token` in QUILLO_MCP_TOKEN,
    unless None); its standard error in a file, checked for tracebacks at the end."""
    log = tmp_path / f"server-{time.monotonic_ns()}.err"
    env = server_env(**({} if token is None else {"QUILLO_MCP_TOKEN": token}))
    with log.open("w") as err:
        proc = subprocess.Popen(
            [SERVER, "--http", "--port", "0", *args],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err, env=env,
            start_new_session=True,
        )
    try:
        found: list[str] = []

        def listening() -> bool:
            assert proc.poll() is None, log.read_text()
            found[:] = re.findall(r"serving MCP at (http://\S+/mcp)", log.read_text())
            return bool(found)

        wait_for(listening, "the server prints its address", CEILING_S)
        yield Server(proc, found[0], log)
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=CEILING_S)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
    assert "Traceback" not in log.read_text()


def http_client_for(token: str | None, statuses: list[int] | None = None, **headers: str):
    if token is not None:
        headers["Authorization"] = f"Bearer {token}"

    async def record(response: httpx2.Response) -> None:
        if statuses is not None:
            statuses.append(response.status_code)

    return httpx2.AsyncClient(
        headers=headers, timeout=httpx2.Timeout(30, read=300),
        event_hooks={"response": [record]},
    )


@asynccontextmanager
async def client(url: str, token: str | None = TOKEN, statuses: list[int] | None = None):
    async with http_client_for(token, statuses) as http:
        async with streamable_http_client(url, http_client=http) as (read, write):
            async with ClientSession(read, write) as session:
                await session.initialize()
                yield session


def gone(pids: set[int]) -> bool:
    return all(process_state(p) in (None, "Z") for p in pids)


@pytest.fixture(scope="module")
def debuggee(tmp_path_factory) -> Path:
    return build_debuggee(tmp_path_factory.mktemp("debuggee"))


START = {"jsonrpc": "2.0", "id": 1, "method": "tools/call",
         "params": {"name": "start", "arguments": {"profile": "sh"}}}
INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
              "params": {"protocolVersion": "2025-11-25", "capabilities": {},
                         "clientInfo": {"name": "raw", "version": "0"}}}
MCP_HEADERS = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream"}


@pytest.mark.parametrize(
    "authorization",
    [None, "Bearer wrong-token-0123456789abcdef", f"Basic {TOKEN}", f"Bearer {TOKEN}x",
     f"Bearer {TOKEN[:-1]}"],
    ids=["none", "wrong", "not-bearer", "longer", "shorter"],
)
def test_without_the_right_token_nothing_is_served_or_started(authorization, tmp_path):
    headers = {} if authorization is None else {"Authorization": authorization}
    with http_server(tmp_path) as server:
        async def main() -> None:
            statuses: list[int] = []
            async with http_client_for(None, statuses, **headers) as http:
                with pytest.raises(Exception):
                    async with streamable_http_client(server.url, http_client=http) as (r, w):
                        async with ClientSession(r, w) as c:
                            await c.initialize()
                            await c.call_tool("start", {"profile": "sh"})
                assert statuses and set(statuses) == {401}, statuses
                # Straight to a tool, with a made-up MCP session: refused as well.
                for body in (INITIALIZE, START):
                    r = await http.post(
                        server.url, json=body, headers={**MCP_HEADERS, "Mcp-Session-Id": "0" * 32}
                    )
                    assert r.status_code == 401 and r.headers["www-authenticate"].startswith("Bearer")
            assert descendants(server.pid) == set()
            async with client(server.url) as c:
                assert (await call(c, "list"))["sessions"] == []

        run(main())


@pytest.mark.parametrize("source", ["generated", "environment", "file"])
def test_the_right_token_drives_gdb(source, tmp_path):
    args: list[str] = []
    token = TOKEN
    if source == "file":
        secret = tmp_path / "token"
        secret.write_text(TOKEN + "\nthe first line is the token\n")
        secret.chmod(0o600)
        args = ["--token-file", str(secret)]
    with http_server(tmp_path, *args, token=TOKEN if source == "environment" else None) as server:
        if source == "generated":
            (token,) = re.findall(r"bearer token \(generated for this run\): (\S+)", server.stderr())
            assert len(token) >= 32 and server.stderr().count(token) == 1

        async def main() -> None:
            async with client(server.url, token) as c:
                r = await call(c, "start", profile="gdb", timeout_ms=30_000)
                assert r["ready"] and r["text"].endswith("(gdb) "), r
                assert (await call(c, "send", session=r["session"], input="print 1+1"))["text"] == (
                    "\n$1 = 2\n(gdb) "
                )
                # The programs do not inherit the token.
                sh = (await call(c, "start", profile="sh"))["session"]
                r = await call(c, "send", session=sh, input="echo token=${QUILLO_MCP_TOKEN-unset}")
                assert "token=unset" in r["text"], r

        run(main())


@pytest.mark.parametrize(
    "content, mode, message",
    [
        (TOKEN, 0o644, "is open to group or others (mode 0644); make it private: chmod 600"),
        (TOKEN, 0o640, "(mode 0640)"),
        (TOKEN, 0o606, "(mode 0606)"),
        ("short", 0o600, "has 5 characters; it needs 16 to 1024"),
        ("two words here, long enough", 0o600, "not printable ASCII (or a space)"),
    ],
)
def test_an_unusable_token_file_is_refused(content, mode, message, tmp_path):
    secret = tmp_path / "token"
    secret.write_text(content)
    secret.chmod(mode)
    done = subprocess.run(
        [SERVER, "--http", "--port", "0", "--token-file", str(secret)],
        capture_output=True, text=True, env=server_env(), timeout=CEILING_S,
    )
    assert done.returncode == 2 and message in done.stderr, done.stderr
    assert "serving" not in done.stderr and content not in done.stderr


SESSION_TOOLS = [
    ("send", {"input": "echo hi"}),
    ("read", {"wait": False}),
    ("interrupt", {}),
    ("history", {}),
    ("reset", {}),
    ("close", {}),
]


def test_a_client_sees_and_touches_only_its_own_sessions_within_its_bound(tmp_path):
    with http_server(tmp_path, "--max-sessions", "3", "--max-sessions-per-client", "2") as server:
        async def main() -> None:
            async with client(server.url) as a, client(server.url) as b:
                mine = (await call(a, "start", profile="sh"))["session"]
                for tool, arguments in SESSION_TOOLS:
                    other = await error(b, tool, session=mine, **arguments)
                    never = await error(b, tool, session="s999", **arguments)
                    assert "unknown session" in other and other == never.replace("s999", mine), tool
                listed = await call(b, "list")
                assert listed == {"sessions": [], "max_sessions": 2}
                # A's session is untouched.
                assert "hi" in (await call(a, "send", session=mine, input="echo hi"))["text"]
                assert [s["session"] for s in (await call(a, "list"))["sessions"]] == [mine]

                await call(a, "start", profile="sh")
                assert "2 sessions of this client are live" in await error(a, "start", profile="sh")
                theirs = (await call(b, "start", profile="sh"))["session"]
                assert "3 sessions are live" in await error(b, "start", profile="sh")
                assert "unknown session" in await error(a, "close", session=theirs)
                await call(b, "close", session=theirs)
                await call(b, "start", profile="sh")

        run(main())


# A client as a process of its own, so that the test can kill it: starts gdb
# on a spinning inferior and a shell over HTTP, says so, then waits.
CLIENT = """
import asyncio, json, sys
import httpx2
from mcp import ClientSession
from mcp.client.streamable_http import streamable_http_client

async def main():
    url, token, debuggee = sys.argv[1:4]
    http = httpx2.AsyncClient(headers={"Authorization": "Bearer " + token},
                              timeout=httpx2.Timeout(30, read=300))
    async with http, streamable_http_client(url, http_client=http) as (read, write):
        async with ClientSession(read, write) as c:
            await c.initialize()
            gdb = (await c.call_tool("start", {"argv": ["gdb", "-q", debuggee], "profile": "gdb",
                                               "timeout_ms": 30000})).structured_content
            await c.call_tool("send", {"session": gdb["session"], "input": "run", "timeout_ms": 500})
            await c.call_tool("start", {"profile": "sh"})
            print(json.dumps({"started": True}), flush=True)
            await asyncio.sleep(3600)

asyncio.run(main())
"""


@contextmanager
def client_process(tmp_path: Path, server: Server, debuggee: Path):
    script = tmp_path / "client.py"
    script.write_text(textwrap.dedent(CLIENT))
    proc = subprocess.Popen(
        [sys.executable, str(script), server.url, TOKEN, str(debuggee)],
        stdout=subprocess.PIPE, text=True, env=server_env(), start_new_session=True,
    )
    try:
        assert proc.stdout.readline(), "the client reported nothing"
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()


def test_a_killed_client_leaves_no_child_once_the_grace_has_passed(debuggee, tmp_path):
    with http_server(tmp_path, "--client-grace-s", "1") as server:
        with client_process(tmp_path, server, debuggee) as proc:
            tree = descendants(server.pid)
            # gdb and its inferior, sh.
            assert len(tree) >= 3, tree
            proc.send_signal(signal.SIGKILL)
            proc.wait(timeout=CEILING_S)
        wait_for(lambda: gone(tree) and descendants(server.pid) == set(),
                 "the killed client's children end", CEILING_S)

        async def main() -> None:
            async with client(server.url) as c:
                assert (await call(c, "list"))["sessions"] == []
                assert (await call(c, "start", profile="sh"))["ready"]

        run(main())


def test_a_client_that_ends_its_session_leaves_no_child_at_once(tmp_path):
    # The longest grace: the sessions end on the client's DELETE, not after it.
    with http_server(tmp_path, "--client-grace-s", "30") as server:
        async def main() -> None:
            async with client(server.url) as c:
                await call(c, "start", profile="sh")
                await call(c, "start", profile="python")
                tree = descendants(server.pid)
                assert len(tree) >= 2, tree
            return tree

        tree = run(main())
        wait_for(lambda: gone(tree), "the sessions end after the DELETE", 20.0)


@pytest.mark.parametrize(
    "sig, status",
    [(signal.SIGTERM, 128 + signal.SIGTERM), (signal.SIGHUP, 128 + signal.SIGHUP),
     (signal.SIGINT, 0)],
    ids=["SIGTERM", "SIGHUP", "SIGINT"],
)
def test_the_server_exit_ends_every_child(sig, status, debuggee, tmp_path):
    with http_server(tmp_path) as server:
        with client_process(tmp_path, server, debuggee):
            tree = descendants(server.pid)
            assert len(tree) >= 3, tree
            # The client is still connected, its GET stream open.
            server.proc.send_signal(sig)
            assert server.proc.wait(timeout=CEILING_S) == status
            wait_for(lambda: gone(tree), "every child ends with the server", CEILING_S)


@pytest.mark.parametrize(
    "headers, status",
    [
        ({"Host": "evil.example"}, 421),
        ({"Host": "evil.example:80"}, 421),
        ({"Origin": "http://evil.example"}, 403),
        ({"Origin": "http://localhost:3000"}, 200),
        ({"Host": "localhost"}, 200),
        ({}, 200),
    ],
)
def test_host_and_origin_are_checked(headers, status, tmp_path):
    with http_server(tmp_path) as server:
        async def main() -> None:
            async with http_client_for(TOKEN) as http:
                r = await http.post(server.url, json=INITIALIZE, headers={**MCP_HEADERS, **headers})
                assert r.status_code == status, r.text

        run(main())


def test_listening_beyond_loopback_is_warned_about_and_still_needs_the_token(tmp_path):
    with http_server(tmp_path, "--host", "0.0.0.0") as server:
        assert "warning: listening on 0.0.0.0, not on loopback" in server.stderr()
        url = server.url.replace("0.0.0.0", "127.0.0.1")

        async def main() -> None:
            async with http_client_for(None) as http:
                r = await http.post(url, json=INITIALIZE, headers=MCP_HEADERS)
                assert r.status_code == 401
            async with client(url) as c:
                assert (await call(c, "list"))["sessions"] == []

        run(main())


def test_single_exchange_requests_get_no_session(tmp_path):
    """A client of the sessionless protocol era cannot start a session: it
    would have no owner, and no end."""
    with http_server(tmp_path) as server:
        async def main() -> None:
            async with http_client_for(TOKEN) as http:
                async with streamable_http_client(server.url, http_client=http) as (r, w):
                    async with ClientSession(r, w) as c:
                        await c.discover()
                        for tool, arguments in (("start", {"profile": "sh"}), ("list", {})):
                            assert "keeps sessions per MCP session" in await error(c, tool, **arguments)
            assert descendants(server.pid) == set()

        run(main())


def test_the_printed_address_accepts_at_once(tmp_path):
    # A client that connects as soon as the address is printed is queued, not
    # refused, while the server is still starting.
    with http_server(tmp_path) as server:
        host, port = re.match(r"http://([^:/]+):(\d+)/", server.url).groups()
        socket.create_connection((host, int(port)), timeout=CEILING_S).close()


def test_stdio_options_of_http_are_refused_without_it():
    done = subprocess.run([SERVER, "--port", "8000"], capture_output=True, text=True,
                          env=server_env(), timeout=CEILING_S)
    assert done.returncode == 2 and "--port: only with --http" in done.stderr

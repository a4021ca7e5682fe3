"""quillo-mcp end to end: the SDK's own client over stdio, the server a real
subprocess, driving a real gdb, a Python REPL and a shell; the tools' titles
and hints as a client sees them; every bad argument is a tool error naming
it, with no traceback in the server's log; a killed client leaves no child
behind."""

from __future__ import annotations

import asyncio
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from contextlib import asynccontextmanager
from pathlib import Path

import pytest

from agent_calls import build_debuggee, call, error, run
from agent_probe import all_children, descendants
from conftest import process_state

mcp = pytest.importorskip("mcp", reason="the mcp extra (in requirements-dev.txt)")
from mcp import ClientSession  # noqa: E402
from mcp.client.stdio import StdioServerParameters, stdio_client  # noqa: E402

SERVER = shutil.which("quillo-mcp", path=os.path.dirname(sys.executable))
pytestmark = pytest.mark.skipif(SERVER is None, reason="quillo-mcp is not installed beside python")



@pytest.fixture(scope="module")
def debuggee(tmp_path_factory) -> Path:
    return build_debuggee(tmp_path_factory.mktemp("debuggee"))


def server_params(*args: str) -> StdioServerParameters:
    env = {k: v for k, v in os.environ.items() if k != "DEBUGINFOD_URLS"}
    return StdioServerParameters(command=SERVER, args=list(args), env=env)


@asynccontextmanager
async def client(*args: str, errlog=sys.stderr):
    async with stdio_client(server_params(*args), errlog=errlog) as (read, write):
        async with ClientSession(read, write) as session:
            await session.initialize()
            yield session


def test_gdb_break_run_print_bt_and_ctrl_c(debuggee):
    async def main() -> None:
        async with client() as c:
            r = await call(
                c, "start", argv=["gdb", "-q", debuggee.name], cwd=str(debuggee.parent),
                profile="gdb", timeout_ms=30_000,
            )
            assert r["ready"] and r["text"].endswith("(gdb) "), r
            sid = r["session"]
            assert "Breakpoint 1 at" in (await call(c, "send", session=sid, input="break square"))["text"]
            r = await call(c, "send", session=sid, input="run", timeout_ms=30_000)
            assert r["ready"] and "Breakpoint 1, square (x=7)" in r["text"], r
            r = await call(c, "send", session=sid, input="print x")
            assert r["text"] == "\n$1 = 7\n(gdb) ", r
            r = await call(c, "send", session=sid, input="bt")
            assert "#0  square (x=7)" in r["text"] and "#1" in r["text"] and "main" in r["text"]
            r = await call(c, "send", session=sid, input="continue", timeout_ms=1_000)
            assert r["timed_out"] and not r["ready"] and not r["exited"], r
            assert "value=49" in r["text"]
            r = await call(c, "interrupt", session=sid)
            assert r["ready"] and "SIGINT" in r["text"] and r["text"].endswith("(gdb) "), r
            assert (await call(c, "send", session=sid, input="print spin"))["text"] == "\n$2 = 1\n(gdb) "
            assert (await call(c, "close", session=sid)) == {"session": sid, "closed": True}

    run(main())


def test_replies_end_when_the_program_waits_prompt_or_not(bins):
    # gdb runs a program that reads without a prompt: the reply comes when it
    # waits and names it; bc without a profile answers a line at once.
    async def main() -> None:
        async with client() as c:
            gdb = await call(c, "start", argv=["gdb", "-q", bins["termwait"]], profile="gdb",
                             timeout_ms=30_000)
            # The start reply holds the banner and one prompt, not the start-up lines'.
            assert gdb["text"].count("(gdb) ") == 1 and gdb["waiting_program"] == "gdb", gdb
            sid = gdb["session"]
            r = await call(c, "send", session=sid, input="run read", timeout_ms=30_000)
            assert r["ready"] and r["waiting_for_input"] and not r["timed_out"], r
            assert r["waiting_program"] == "termwait"
            status = await call(c, "status", session=sid)
            assert status["state"] == "waiting" and status["program"] == "termwait"
            assert status["call"] == "read" and status["busy"] is False, status
            r = await call(c, "send", session=sid, input="hello")
            assert r["ready"] and r["text"] == "got: hello\n", r
            bc = (await call(c, "start", argv=["bc", "-q"], markers=[]))["session"]
            r = await call(c, "send", session=bc, input="6*7")
            assert r["ready"] and r["waiting_program"] == "bc" and "42" in r["text"], r

    run(main())


def test_progress_cancel_interrupt_and_close_through_the_client(tmp_path):
    started = tmp_path / "started"

    async def main() -> None:
        async with client() as c:
            sid = (await call(c, "start", profile="bash"))["session"]
            # A long call reports progress with the output so far.
            seen: list[tuple[float, float | None, str | None]] = []

            async def progress(done: float, total: float | None, message: str | None) -> None:
                seen.append((done, total, message))

            result = await c.call_tool(
                "send", {"session": sid, "input": "for i in 1 2 3; do echo tick $i; sleep 1; done"},
                progress_callback=progress,
            )
            assert result.structured_content["ready"], result
            assert seen and all(total == 10.0 for _, total, _ in seen), seen
            assert any("tick" in (message or "") for _, _, message in seen), seen
            assert [done for done, _, _ in seen] == sorted(done for done, _, _ in seen)

            # A request the client cancels stops; an interrupt then needs no wait.
            task = asyncio.create_task(c.call_tool(
                "send", {"session": sid, "input": f"echo begun; touch {started}; sleep 20",
                         "timeout_ms": 50_000}))
            while not started.exists():
                await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            t0 = time.monotonic()
            back = await call(c, "interrupt", session=sid)
            assert back["ready"] and back["text"].endswith("__quillo_ready__$ "), back
            assert time.monotonic() - t0 < 10
            assert "begun" in (await call(c, "history", session=sid))["text"]

            # An interrupt while another request's call spins: both come back.
            started.unlink()
            spinning = asyncio.create_task(call(
                c, "send", session=sid, timeout_ms=40_000,
                input=f"echo one; touch {started}; while :; do :; done"))
            while not started.exists():
                await asyncio.sleep(0.01)
            back = await call(c, "interrupt", session=sid)
            spun = await spinning
            assert spun["interrupted"] and not spun["ready"] and not spun["timed_out"], spun
            assert "one" in spun["text"] and back["ready"], back

            # Close does not wait for a running call's deadline.
            started.unlink()
            running = asyncio.create_task(call(
                c, "send", session=sid, timeout_ms=50_000, input=f"touch {started}; sleep 50"))
            while not started.exists():
                await asyncio.sleep(0.01)
            t0 = time.monotonic()
            await call(c, "close", session=sid)
            assert time.monotonic() - t0 < 10
            assert (await running)["interrupted"]

    run(main())


def test_profiles_without_traps_and_long_lines_through_the_client():
    async def main() -> None:
        async with client() as c:
            py = (await call(c, "start", profile="python"))["session"]
            for block in ("def f(x):\n    return 3 * x\n", "def g(x):\n    return 4 * x"):
                r = await call(c, "send", session=py, input=block)
                assert r["ready"] and r["text"].endswith(">>> "), r
            assert (await call(c, "send", session=py, input="f(2) + g(3)"))["text"] == "18\n>>> "

            message = await error(c, "start", profile="bash", env={"PS1": "$ "})
            assert "PS1" in message and "bash profile" in message, message

            sh = (await call(c, "start", profile="bash"))["session"]
            r = await call(c, "send", session=sh, input=f"echo {'z' * 6_000} | wc -c")
            assert r["text"] == "6001\n__quillo_ready__$ ", r
            cat = (await call(c, "start", argv=["cat"], markers=[]))["session"]
            message = await error(c, "send", session=cat, input="x" * 6_000)
            assert "6,000 bytes" in message and "4,095" in message and "cat" in message, message

    run(main())


def test_python_repl_shell_and_two_sessions_in_parallel(tmp_path):
    flag = tmp_path / "flag"

    async def main() -> None:
        async with client() as c:
            py = (await call(c, "start", profile="python"))["session"]
            r = await call(c, "send", session=py, input="def twice(x):\n    return 2 * x\n\n")
            assert r["ready"] and r["text"].endswith(">>> "), r
            assert (await call(c, "send", session=py, input="twice(21)"))["text"] == "42\n>>> "

            sh = (await call(c, "start", profile="bash"))["session"]
            r = await call(c, "send", session=sh, input="for w in one two\ndo\n  echo w=$w\ndone")
            assert r["ready"] and "w=one\nw=two\n" in r["text"], r

            # The shell waits for a file the REPL writes: only parallel calls finish.
            waiting = call(
                c, "send", session=sh, timeout_ms=20_000,
                input=f"while [ ! -e {flag} ]; do sleep 0.01; done; echo released",
            )
            release = call(
                c, "send", session=py, input=f"import time; time.sleep(0.2); open({str(flag)!r}, 'w').close()"
            )
            a, b = await asyncio.gather(waiting, release)
            assert a["ready"] and "released" in a["text"], a
            assert b["ready"], b

            listed = await call(c, "list")
            assert [(s["session"], s["profile"], s["alive"]) for s in listed["sessions"]] == [
                (py, "python", True), (sh, "bash", True),
            ]
            page = await call(c, "history", session=py)
            assert "42" in page["text"] and page["next_start"] is None

    run(main())


def test_bad_input_is_a_tool_error_and_the_server_keeps_serving():
    async def main() -> None:
        async with client("--max-sessions", "1", "--max-chars", "100") as c:
            assert "unknown session 's99'" in await error(c, "send", session="s99", input="x")
            assert "'no-such-program-qa': not found on PATH" in await error(
                c, "start", argv=["no-such-program-qa"]
            )

            sid = (await call(c, "start", profile="sh"))["session"]
            assert "limit" in await error(c, "start", profile="sh")
            # A reply over the limit: head and tail around a marker, all in the history.
            r = await call(c, "send", session=sid, input="seq 1 1000")
            assert r["cut_chars"] > 0 and len(r["text"]) < 300
            assert r["text"].startswith("1\n2\n") and "characters cut" in r["text"]
            assert r["text"].endswith("999\n1000\n__quillo_ready__$ ")
            pages, start = [], 0
            while start is not None:
                page = await call(c, "history", session=sid, start=start)
                pages.append(page["text"])
                start = page["next_start"]
            assert "\n".join(str(i) for i in range(1, 1001)) in "".join(pages)

            # A dead session: its program exited; reads say so, close still works.
            await call(c, "send", session=sid, input="exit")
            deadline = time.monotonic() + 30
            while not (await call(c, "read", session=sid, wait=False))["exited"]:
                assert time.monotonic() < deadline
                await asyncio.sleep(0.05)
            assert "the program has exited" in await error(c, "send", session=sid, input="echo")
            assert "the program has exited" in await error(c, "interrupt", session=sid)
            await call(c, "close", session=sid)
            assert "unknown session" in await error(c, "close", session=sid)
            assert (await call(c, "list"))["sessions"] == []
            # Still serving.
            assert (await call(c, "start", profile="sh"))["ready"]

    run(main())


# What a client sees of each tool: title, then the hints readOnly,
# destructive, idempotent, openWorld.
TOOL_SURFACE = {
    "start": ("Start a program", False, True, False, True),
    "send": ("Send input", False, True, False, True),
    "read": ("Read output", True, False, True, False),
    "interrupt": ("Interrupt (Ctrl-C)", False, False, False, False),
    "reset": ("Restart the program", False, True, False, True),
    "history": ("Output history", True, False, True, False),
    "list": ("List sessions", True, False, True, False),
    "status": ("What the program is doing", True, False, True, False),
    "close": ("Close a session", False, True, True, False),
}


def test_tools_publish_titles_hints_and_closed_schemas():
    async def main() -> None:
        async with client() as c:
            tools = (await c.list_tools()).tools
        seen = {}
        for t in tools:
            a = t.annotations
            seen[t.name] = (t.title, a.read_only_hint, a.destructive_hint, a.idempotent_hint,
                            a.open_world_hint)
            assert t.input_schema["additionalProperties"] is False, t.name
        assert seen == TOOL_SURFACE
        schema = {t.name: t.input_schema["properties"] for t in tools}
        int_range = {"type": "integer", "minimum": 0, "maximum": 2**53 - 1}
        for name in ("start", "send", "read", "interrupt", "reset"):
            assert int_range in schema[name]["timeout_ms"]["anyOf"], name
        assert {k: schema["history"]["start"][k] for k in int_range} == int_range
        assert {"type": "string", "enum": ["gdb", "python", "pdb", "sh", "bash"]} in schema[
            "start"]["profile"]["anyOf"]

    run(main())


VALID_TIMEOUT = "timeout_ms: Input should be a valid integer"
# Per tool: arguments the schema (or, for values only a start can judge, the
# launcher) refuses, and what the error says. Each names the argument.
BAD_ARGUMENTS = {
    "start": [
        ({"argv": "sh -i"}, "argv: Input should be a valid list (got 'sh -i')"),
        ({"argv": [1, 2]}, "argv[0]: Input should be a valid string (got 1); argv[1]"),
        ({"argv": []}, "argv: List should have at least 1 item"),
        ({"argv": ["sh\0"]}, "argv[0] contains a NUL character"),
        ({"profile": "nope"}, "profile: Input should be 'gdb', 'python', 'pdb', 'sh' or 'bash'"),
        ({"profile": 3}, "profile: Input should be 'gdb'"),
        ({"cwd": 5}, "cwd: Input should be a valid string"),
        ({"argv": ["sh"], "cwd": "/no/such/dir-qa"}, "working directory '/no/such/dir-qa'"),
        ({"env": "A=1"}, "env: Input should be a valid dictionary"),
        ({"env": {"A": 1}}, "env['A']: Input should be a valid string (got 1)"),
        ({"env": {"A=B": "1"}}, "env['A=B'] (the name): String should match pattern"),
        ({"argv": ["sh"], "env": {"A": "x\0y"}}, "env['A'] contains a NUL character"),
        ({"unset_env": "PATH"}, "unset_env: Input should be a valid list"),
        ({"unset_env": ["NO SUCH"]}, "unset_env[0]: String should match pattern"),
        ({"markers": "(gdb) "}, "markers: Input should be a valid list"),
        ({"markers": [""]}, "markers[0]: String should have at least 1 character"),
        ({"timeout_ms": -1}, "timeout_ms: Input should be greater than or equal to 0 (got -1)"),
        ({"timeout_ms": "soon"}, VALID_TIMEOUT),
        ({"timeout_ms": "500"}, VALID_TIMEOUT),
        ({"timeout_ms": 1.5}, VALID_TIMEOUT),
        ({"timeout_ms": True}, VALID_TIMEOUT),
        ({"timeout_ms": 10**30}, "timeout_ms: Input should be less than or equal to 9007199254740991"),
        ({"profile": "sh", "timeout": 500}, "'timeout': no such argument (it takes: argv, cwd, env,"),
    ],
    "send": [
        ({"input": "x"}, "session: Field required"),
        ({"session": "s1"}, "input: Field required"),
        ({"session": 1, "input": "x"}, "session: Input should be a valid string (got 1)"),
        ({"session": "s1", "input": ["x"]}, "input: Input should be a valid string"),
        ({"session": "s1", "input": "x", "timeout_ms": -5}, "timeout_ms: Input should be greater"),
    ],
    "read": [
        ({}, "session: Field required"),
        ({"session": "s1", "wait": "no"}, "wait: Input should be a valid boolean"),
        ({"session": "s1", "wait": 0}, "wait: Input should be a valid boolean"),
        ({"session": "s1", "timeout_ms": -1}, "timeout_ms: Input should be greater"),
    ],
    "interrupt": [
        ({"session": None}, "session: Input should be a valid string"),
        ({"session": "s1", "timeout_ms": [1]}, VALID_TIMEOUT),
    ],
    "reset": [
        ({}, "session: Field required"),
        ({"session": "s1", "timeout_ms": 2**53}, "timeout_ms: Input should be less than or equal"),
    ],
    "history": [
        ({"start": 0}, "session: Field required"),
        ({"session": "s1", "start": -1}, "start: Input should be greater than or equal to 0"),
        ({"session": "s1", "start": "0"}, "start: Input should be a valid integer"),
        ({"session": "s1", "start": 10**30}, "start: Input should be less than or equal"),
    ],
    "list": [
        ({"session": "s1"}, "'session': no such argument (it takes: none)"),
    ],
    "status": [
        ({}, "session: Field required"),
        ({"session": 7}, "session: Input should be a valid string (got 7)"),
        ({"session": "s1", "wait": True}, "'wait': no such argument (it takes: session)"),
    ],
    "close": [
        ({}, "session: Field required"),
        ({"session": ["s1"]}, "session: Input should be a valid string"),
        ({"sesion": "s1"}, "'sesion': no such argument (it takes: session)"),
    ],
}


@pytest.mark.parametrize("tool", list(BAD_ARGUMENTS))
def test_every_bad_argument_is_a_tool_error_naming_it_and_runs_nothing(tool, tmp_path):
    errors = tmp_path / "stderr"

    async def main() -> None:
        with errors.open("w") as log:
            async with client(errlog=log) as c:
                (server,) = [
                    p for p in all_children() if b"quillo-mcp" in Path(f"/proc/{p}/cmdline").read_bytes()
                ]
                wrong = []
                for arguments, expected in BAD_ARGUMENTS[tool]:
                    result = await c.call_tool(tool, arguments)
                    text = result.content[0].text if result.content else ""
                    if not result.is_error or expected not in text:
                        wrong.append((arguments, result.is_error, text))
                assert wrong == []
                # Nothing ran: no session, no child; and the server still serves.
                assert (await call(c, "list"))["sessions"] == []
                assert descendants(server) == set()
                assert (await call(c, "start", profile="sh"))["ready"]

    run(main())
    assert "Traceback" not in errors.read_text()


def server_resources(pid: int) -> tuple[list[str], list[str]]:
    """(names of the server's session threads, its terminal and pidfd descriptors)."""
    threads = []
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            name = Path(f"/proc/{pid}/task/{tid}/comm").read_text().strip()
        except (FileNotFoundError, ProcessLookupError):
            continue
        if name.startswith(("quillo_agent", "quillo_reader")):
            threads.append(name)
    fds = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except FileNotFoundError:
            continue
        if "ptmx" in target or "/dev/pts/" in target or "pidfd" in target:
            fds.append(target)
    return threads, fds


# The client, run as its own process so that the test can kill it: starts
# gdb on a spinning inferior, a REPL and a shell, reports the server's process
# tree, then waits to be killed.
CLIENT = """
import asyncio, json, os, sys
from pathlib import Path
from mcp import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client

async def main():
    params = StdioServerParameters(command=sys.argv[1], env=dict(os.environ))
    async with stdio_client(params) as (read, write):
        async with ClientSession(read, write) as c:
            await c.initialize()
            gdb = (await c.call_tool("start", {"argv": ["gdb", "-q", sys.argv[2]], "profile": "gdb",
                                               "timeout_ms": 30000})).structured_content
            await c.call_tool("send", {"session": gdb["session"], "input": "run", "timeout_ms": 500})
            await c.call_tool("start", {"profile": "python"})
            await c.call_tool("start", {"profile": "sh"})
            me = os.getpid()
            server = int(Path(f"/proc/{me}/task/{me}/children").read_text().split()[0])
            print(json.dumps({"server": server}), flush=True)
            await asyncio.sleep(3600)

asyncio.run(main())
"""


def test_closing_sessions_frees_them_and_a_killed_client_leaves_no_child(debuggee, tmp_path):
    script = tmp_path / "client.py"
    script.write_text(textwrap.dedent(CLIENT))
    env = {k: v for k, v in os.environ.items() if k != "DEBUGINFOD_URLS"}
    proc = subprocess.Popen(
        [sys.executable, str(script), SERVER, str(debuggee)],
        stdout=subprocess.PIPE, text=True, env=env, start_new_session=True,
    )
    try:
        line = proc.stdout.readline()
        assert line, "the client reported nothing"
        server = json.loads(line)["server"]
        tree = descendants(server)
        threads, fds = server_resources(server)
        # gdb and its inferior, python, sh: at least four processes; a reader
        # and a session thread per session, a terminal per session.
        assert len(tree) >= 4, tree
        assert len(threads) >= 6 and len(fds) >= 3, (threads, fds)
        assert any(Path(f"/proc/{p}/exe").resolve() == debuggee for p in tree if process_state(p))
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=30)

        deadline = time.monotonic() + 60
        left = [p for p in tree | {server} if process_state(p) not in (None, "Z")]
        while left and time.monotonic() < deadline:
            time.sleep(0.05)
            left = [p for p in tree | {server} if process_state(p) not in (None, "Z")]
        assert left == [], f"still running after the client was killed: {left}"
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_close_tool_leaves_no_thread_or_descriptor_in_the_server(debuggee):
    async def main() -> None:
        async with client() as c:
            (server,) = [
                p for p in all_children() if b"quillo-mcp" in Path(f"/proc/{p}/cmdline").read_bytes()
            ]
            ids = [
                (await call(c, "start", argv=["gdb", "-q", str(debuggee)], profile="gdb",
                            timeout_ms=30_000))["session"],
                (await call(c, "start", profile="python"))["session"],
                (await call(c, "start", profile="sh"))["session"],
            ]
            await call(c, "send", session=ids[0], input="run", timeout_ms=500)
            tree = descendants(server)
            assert len(tree) >= 4
            assert server_resources(server) != ([], [])
            for sid in ids:
                await call(c, "close", session=sid)
            assert server_resources(server) == ([], [])
            assert [p for p in tree if process_state(p) not in (None, "Z")] == []
            assert descendants(server) == set()

    run(main())


def test_a_message_beyond_the_bound_is_dropped_and_the_server_goes_on(tmp_path):
    # Raw JSON-RPC over the server's pipes: one line longer than the bound.
    from mcp_types import LATEST_PROTOCOL_VERSION

    from quillo_agent.mcp_stdio import MAX_MESSAGE_BYTES

    errors = tmp_path / "stderr"
    with errors.open("w") as log:
        proc = subprocess.Popen([SERVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=log, env=server_params().env)
        try:
            def send(message: dict) -> None:
                proc.stdin.write(json.dumps({"jsonrpc": "2.0", **message}).encode() + b"\n")
                proc.stdin.flush()

            def answer(request_id: int) -> dict:
                while True:
                    line = proc.stdout.readline()
                    assert line, "the server closed its output"
                    message = json.loads(line)
                    if message.get("id") == request_id:
                        return message

            send({"id": 1, "method": "initialize", "params": {
                "protocolVersion": LATEST_PROTOCOL_VERSION, "capabilities": {},
                "clientInfo": {"name": "raw", "version": "1"}}})
            assert "result" in answer(1)
            send({"method": "notifications/initialized"})
            proc.stdin.write(b'{"jsonrpc": "2.0", "id": 2, "method": "' + b"x" * MAX_MESSAGE_BYTES + b'"}\n')
            send({"id": 3, "method": "tools/list"})
            tools = answer(3)["result"]["tools"]
            assert "send" in {t["name"] for t in tools}
        finally:
            proc.stdin.close()
            assert proc.wait(timeout=30) == 0
    assert "dropped a message longer than" in errors.read_text()

#!/usr/bin/env python3
"""What an agent sees: quillo_agent over the bare core, an MCP tool call, and
the cost of an idle gap before a spawn or a round trip.

    python bench/agent.py [--quick] [--rounds N]

Run it through `scripts/bench.sh --agent` (or with quillo, quillo_agent,
pexpect and mcp importable, and `quillo-mcp` beside the interpreter).

Rows, all in one run, variants interleaved round by round:
  reply overhead  the same one-line command on the same child program (a tiny C
                  prompt echo), by Quillo.send_and_read_until_ready on the
                  caller's thread and by Session.send (queued to the
                  session's thread, which ends the call as soon as the probe
                  sees the child wait); settle_ms=0 for the core. p50 of each and the
                  p50 of the paired differences.
  MCP tool call   one `read` with wait=false (a drain: no wait at all) and one
                  `send` of the same command, through quillo-mcp over stdio
                  and over Streamable HTTP (`--http` on a free loopback port,
                  with its bearer token), each with the SDK's own client, the
                  two transports interleaved round by round and printed side
                  by side; the send ends when the probe sees the child wait
                  for input again (no settle time).
  idle gap        spawn + close of `cat`, and the round trip above, back to back
                  and each after a 50 ms sleep; quillo and pexpect (tuned:
                  delaybeforesend=None).
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import math
import os
import re
import secrets
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import AsyncIterator
from pathlib import Path
from typing import Any

import pexpect

from quillo import Quillo
from quillo_agent import Session

PROMPT = "(gdb) "
IDLE_GAP_S = 0.050
HTTP_START_CEILING_S = 30.0  # for the HTTP server to print its address

ECHO_C = r"""
#include <stdio.h>
#include <string.h>
#include <unistd.h>
/* Prompt, read a line, answer it, prompt again: the cheapest interactive child. */
int main(void) {
  char line[4096];
  fputs("(gdb) ", stdout);
  fflush(stdout);
  while (fgets(line, sizeof line, stdin)) {
    printf("ok %zu\n(gdb) ", strlen(line));
    fflush(stdout);
  }
  return 0;
}
"""


def p(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[max(0, min(len(ordered) - 1, math.ceil(q / 100 * len(ordered)) - 1))]


def build_echo(work: Path) -> str:
    src = work / "echo.c"
    src.write_text(ECHO_C)
    exe = work / "echo"
    subprocess.run(["cc", "-O2", "-o", str(exe), str(src)], check=True)
    return str(exe)


def reply_overhead(echo: str, rounds: int) -> dict[str, list[float]]:
    core = Quillo(echo, True, [PROMPT])
    core.read_until_ready(timeout_ms=5_000)
    agent = Session([echo], markers=[PROMPT])
    agent.start()
    out: dict[str, list[float]] = {"core": [], "agent": [], "diff": []}
    try:
        for _ in range(50):  # warm up both
            core.send_and_read_until_ready("x", settle_ms=0)
            agent.send("x")
        for i in range(rounds):
            pair = {}
            for who in (("core", "agent") if i % 2 else ("agent", "core")):
                t = time.perf_counter()
                if who == "core":
                    text = core.send_and_read_until_ready("x", settle_ms=0)
                else:
                    text = agent.send("x").text
                pair[who] = (time.perf_counter() - t) * 1e3
                assert text.endswith(PROMPT), text
            out["core"].append(pair["core"])
            out["agent"].append(pair["agent"])
            out["diff"].append(pair["agent"] - pair["core"])
    finally:
        core.close()
        agent.close()
    return out


def mcp_server_path() -> str:
    return shutil.which("quillo-mcp", path=os.path.dirname(sys.executable)) or "quillo-mcp"


@contextlib.asynccontextmanager
async def stdio_client_session() -> AsyncIterator[Any]:
    from mcp import ClientSession
    from mcp.client.stdio import StdioServerParameters, stdio_client

    params = StdioServerParameters(command=mcp_server_path(), env=dict(os.environ))
    async with stdio_client(params) as (read, write), ClientSession(read, write) as c:
        await c.initialize()
        yield c


@contextlib.asynccontextmanager
async def http_client_session(work: Path) -> AsyncIterator[Any]:
    """A client of `quillo-mcp --http` on a free loopback port, with its token."""
    import httpx2
    from mcp import ClientSession
    from mcp.client.streamable_http import streamable_http_client

    token = secrets.token_urlsafe(32)
    log = work / "http-server.err"
    with log.open("w") as err:
        server = subprocess.Popen(
            [mcp_server_path(), "--http", "--port", "0"],
            env={**os.environ, "QUILLO_MCP_TOKEN": token},
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
        )
    try:
        deadline = time.monotonic() + HTTP_START_CEILING_S
        while not (found := re.findall(r"serving MCP at (http://\S+/mcp)", log.read_text())):
            if server.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"quillo-mcp --http did not come up: {log.read_text()}")
            await asyncio.sleep(0.01)
        http = httpx2.AsyncClient(
            headers={"Authorization": f"Bearer {token}"}, timeout=httpx2.Timeout(30, read=300)
        )
        async with http, streamable_http_client(found[0], http_client=http) as (read, write):
            async with ClientSession(read, write) as c:
                await c.initialize()
                yield c
    finally:
        server.terminate()
        server.wait(timeout=HTTP_START_CEILING_S)


async def mcp_round_trip(echo: str, rounds: int, work: Path) -> dict[str, list[float]]:
    out: dict[str, list[float]] = {
        f"{t} {what}": [] for t in ("stdio", "http") for what in ("drain", "send")
    }
    async with stdio_client_session() as stdio, http_client_session(work) as http:
        clients = {"stdio": stdio, "http": http}
        sids = {}
        for name, c in clients.items():
            started = await c.call_tool("start", {"argv": [echo], "markers": [PROMPT]})
            assert started.structured_content is not None, started
            sids[name] = started.structured_content["session"]
            for _ in range(20):
                await c.call_tool("read", {"session": sids[name], "wait": False})
        for i in range(rounds):
            for name in ("stdio", "http") if i % 2 else ("http", "stdio"):
                c, sid = clients[name], sids[name]
                t = time.perf_counter()
                await c.call_tool("read", {"session": sid, "wait": False})
                out[f"{name} drain"].append((time.perf_counter() - t) * 1e3)
                t = time.perf_counter()
                r = await c.call_tool("send", {"session": sid, "input": "x"})
                out[f"{name} send"].append((time.perf_counter() - t) * 1e3)
                assert r.structured_content and r.structured_content["ready"], r
        for name, c in clients.items():
            await c.call_tool("close", {"session": sids[name]})
    return out


def idle_gap(echo: str, rounds: int, spawns: int) -> dict[str, list[float]]:
    out: dict[str, list[float]] = {
        k: []
        for k in (
            "quillo spawn", "quillo spawn idle", "pexpect spawn", "pexpect spawn idle",
            "quillo rt", "quillo rt idle", "pexpect rt", "pexpect rt idle",
        )
    }
    # Spawn + close. pexpect's close waits 100 ms for `cat`: timed apart from the spawn.
    for i in range(spawns):
        for gap in ((0.0, IDLE_GAP_S) if i % 2 else (IDLE_GAP_S, 0.0)):
            suffix = " idle" if gap else ""
            time.sleep(gap)
            t = time.perf_counter()
            q = Quillo("cat", False)
            out["quillo spawn" + suffix].append((time.perf_counter() - t) * 1e3)
            q.close()
            if i % 3 == 0:  # pexpect is slow to close: a third as many
                time.sleep(gap)
                t = time.perf_counter()
                child = pexpect.spawn("cat")
                out["pexpect spawn" + suffix].append((time.perf_counter() - t) * 1e3)
                child.close(force=True)
    # Round trips on the echo child, back to back and after an idle gap.
    q = Quillo(echo, True, [PROMPT])
    q.read_until_ready(timeout_ms=5_000)
    child = pexpect.spawn(echo, encoding="utf-8")
    child.delaybeforesend = None
    child.expect_exact(PROMPT)
    try:
        for i in range(rounds):
            for gap in ((0.0, IDLE_GAP_S) if i % 2 else (IDLE_GAP_S, 0.0)):
                suffix = " idle" if gap else ""
                time.sleep(gap)
                t = time.perf_counter()
                q.send_and_read_until_ready("x", settle_ms=0)
                out["quillo rt" + suffix].append((time.perf_counter() - t) * 1e3)
                time.sleep(gap)
                t = time.perf_counter()
                child.sendline("x")
                child.expect_exact(PROMPT)
                out["pexpect rt" + suffix].append((time.perf_counter() - t) * 1e3)
    finally:
        q.close()
        child.close(force=True)
    return out


def row(name: str, values: list[float]) -> str:
    return (
        f"| {name} | {statistics.median(values):.3f} | {p(values, 90):.3f} | {len(values)} |"
    )


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer rounds")
    ap.add_argument("--rounds", type=int, default=None, help="rounds per figure (default 1000, quick 200)")
    args = ap.parse_args()
    rounds = args.rounds or (200 if args.quick else 1000)
    idle_rounds = max(20, rounds // 10)
    spawns = max(30, rounds // 10)

    with tempfile.TemporaryDirectory(prefix="quillo-bench-agent-") as work:
        echo = build_echo(Path(work))
        overhead = reply_overhead(echo, rounds)
        mcp = asyncio.run(mcp_round_trip(echo, max(50, rounds // 5), Path(work)))
        idle = idle_gap(echo, idle_rounds, spawns)

    print("| What | p50 ms | p90 ms | n |")
    print("|---|---|---|---|")
    print(row("reply, bare core (Quillo, settle_ms=0)", overhead["core"]))
    print(row("reply, quillo_agent Session.send (ends at the probe's wait)", overhead["agent"]))
    print(row("quillo_agent overhead (paired difference)", overhead["diff"]))
    for what in ("spawn", "rt"):
        label = "spawn" if what == "spawn" else "round trip"
        for who in ("quillo", "pexpect"):
            print(row(f"{who} {label}, back to back", idle[f"{who} {what}"]))
            print(row(f"{who} {label}, after a 50 ms idle gap", idle[f"{who} {what} idle"]))
    print("\n| MCP tool call, same child, same run | stdio p50 ms | stdio p90 ms "
          "| HTTP p50 ms | HTTP p90 ms | n |")
    print("|---|---|---|---|---|---|")
    for what, label in (("drain", "read wait=false (no wait)"),
                        ("send", "send (ends when the program waits)")):
        stdio, http = mcp[f"stdio {what}"], mcp[f"http {what}"]
        print(f"| {label} | {statistics.median(stdio):.3f} | {p(stdio, 90):.3f} "
              f"| {statistics.median(http):.3f} | {p(http, 90):.3f} | {len(stdio)} |")
    goal = statistics.median(overhead["diff"])
    print(f"\nquillo_agent reply overhead p50 {goal * 1000:.0f} µs (aim: at most 200 µs): "
          f"{'met' if goal <= 0.2 else 'missed'}")


if __name__ == "__main__":
    main()

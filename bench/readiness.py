#!/usr/bin/env python3
"""Knowing when the program waits for input: what it saves an agent, and
what it costs, with the previous way (markers, settle and quiet time only)
beside the new one in the same run.

    python bench/readiness.py [--quick] [--baseline REV]

Run it through `scripts/bench.sh --readiness`. "old" is the `quillo_agent`
package of git revision REV (default: the last one before the probe),
extracted from this repository into a temporary directory and run against the
same `quillo` extension; "new" is this checkout's. Rows:

  gdb per line     one MCP `send` of `print 1+1` to gdb (gdb profile), through
                   quillo-mcp over stdio with the SDK's client: back to back,
                   and after a 0.5 s idle gap (an agent thinks between calls).
                   The old and the new server run at once, called in turn.
  bc per line      one MCP `send` of `2+2` to `bc -q` started without a
                   profile (markers: []).
  blocked to reply a program without a prompt works (spins) for a while, prints
                   the monotonic time and blocks reading its terminal; the
                   time from that moment to the reply of a `Session.read`
                   (the program's own clock and the caller's are the same).
  probe cost       one probe (`Watch.observe`) and one full check
                   (`Watch.settled`: probe, input taken, probe, output taken)
                   of gdb running an inferior that waits, and of bash at its
                   prompt.
  busy CPU         the CPU this process spends while a `send` waits 10 s on
                   a busy program (bash running `sleep`), as a share of one core.
  interrupt        with a call running for 0.5 s (a `read` of a spinning
                   program, on another thread), the time from asking
                   `interrupt()` to the child's SIGINT handler running: p50
                   and the worst of 20. The old way queues the interrupt
                   behind the running call, which here has a 2 s deadline.
"""

from __future__ import annotations

import argparse
import asyncio
import importlib
import math
import os
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
# The last revision whose calls decided by markers, settle and quiet time only.
DEFAULT_BASELINE = "3732c3a"

DEBUGGEE = r"""
#include <stdio.h>
int main(void) {
  char line[256];
  while (fgets(line, sizeof line, stdin)) printf("got %s", line);
  return 0;
}
"""

BLOCKER = r"""
import sys, time
busy = float(sys.argv[1])
for _ in range(int(sys.argv[2])):
    end = time.monotonic() + busy
    while time.monotonic() < end:
        pass
    sys.stdout.write(f"blocked {time.monotonic():.6f}\n")
    sys.stdout.flush()
    sys.stdin.readline()
"""

SIGNALLED = r"""
import os, signal, sys, time
out = sys.argv[1]
def caught(signum, frame):
    with open(out, "a") as f:
        f.write(f"{time.monotonic():.6f}\n")
signal.signal(signal.SIGINT, caught)
print("spinning", flush=True)
while True:
    pass
"""


def pct(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[max(0, min(len(ordered) - 1, math.ceil(q / 100 * len(ordered)) - 1))]


def extract_baseline(rev: str, into: Path) -> Path:
    archive = into / "old.tar"
    subprocess.run(
        ["git", "-C", str(ROOT), "archive", "-o", str(archive), rev, "quillo_agent"], check=True
    )
    with tarfile.open(archive) as t:
        t.extractall(into / "old", filter="data")
    return into / "old"


def load_agent(where: Path) -> Any:
    """`quillo_agent` from `where`, imported afresh."""
    for name in [m for m in sys.modules if m == "quillo_agent" or m.startswith("quillo_agent.")]:
        del sys.modules[name]
    sys.path.insert(0, str(where))
    try:
        return importlib.import_module("quillo_agent")
    finally:
        sys.path.remove(str(where))


def server_command(where: Path) -> list[str]:
    code = (
        f"import sys; sys.path.insert(0, {str(where)!r}); "
        "from quillo_agent.mcp_server import main; sys.exit(main())"
    )
    return [sys.executable, "-c", code]


async def mcp_lines(servers: dict[str, Path], start: dict[str, Any], line: str, expect: str,
                    rounds: int, gap_s: float) -> dict[str, list[float]]:
    """Per-call times of `line` through each server, both running at once and
    called in turn, round by round (the order alternating), so that the
    machine's moods fall on both alike."""
    from contextlib import AsyncExitStack

    from mcp import ClientSession
    from mcp.client.stdio import StdioServerParameters, stdio_client

    env = {k: v for k, v in os.environ.items() if k != "DEBUGINFOD_URLS"}
    times: dict[str, list[float]] = {label: [] for label in servers}
    async with AsyncExitStack() as stack:
        clients: dict[str, tuple[Any, str]] = {}
        for label, where in servers.items():
            cmd = server_command(where)
            params = StdioServerParameters(command=cmd[0], args=cmd[1:], env=env)
            read, write = await stack.enter_async_context(stdio_client(params))
            c = await stack.enter_async_context(ClientSession(read, write))
            await c.initialize()
            started = await c.call_tool("start", start)
            assert started.structured_content is not None, started
            sid = started.structured_content["session"]
            for _ in range(5):
                await c.call_tool("send", {"session": sid, "input": line})
            clients[label] = (c, sid)
        order = list(clients)
        for i in range(rounds):
            for label in order if i % 2 else order[::-1]:
                c, sid = clients[label]
                if gap_s:
                    await asyncio.sleep(gap_s)
                t = time.perf_counter()
                r = await c.call_tool("send", {"session": sid, "input": line})
                times[label].append((time.perf_counter() - t) * 1e3)
                content = r.structured_content or {}
                assert expect in content.get("text", ""), r
        for c, sid in clients.values():
            await c.call_tool("close", {"session": sid})
    return times


def blocked_to_reply(agent: Any, work: Path, busy_s: float, rounds: int) -> list[float]:
    script = work / "blocker.py"
    script.write_text(BLOCKER)
    out: list[float] = []
    with agent.Session([sys.executable, str(script), str(busy_s), str(rounds + 1)],
                       markers=[]) as s:
        first = s.read(timeout_ms=20_000)
        for i in range(rounds + 1):
            reply = first if i == 0 else s.send("next", timeout_ms=20_000)
            now = time.monotonic()
            words = reply.text.split()
            if "blocked" in words and i > 0:
                out.append((now - float(words[words.index("blocked") + 1])) * 1e3)
    return out


def probe_cost(agent: Any, debuggee: str, rounds: int) -> dict[str, tuple[float, float]]:
    result = {}
    for name, kw, lines in (
        ("gdb + inferior", dict(argv=["gdb", "-q", debuggee], profile="gdb"), ["run"]),
        ("bash at its prompt", dict(profile="bash"), []),
    ):
        with agent.Session(**kw) as s:
            s.start()
            for line in lines:
                s.send(line, timeout_ms=20_000)
            watch = s._worker.watch
            costs = []
            for check in (watch.observe, watch.settled):
                t = time.perf_counter()
                for _ in range(rounds):
                    check()
                costs.append((time.perf_counter() - t) / rounds * 1e6)
            result[name] = (costs[0], costs[1])
    return result


def busy_cpu(agent: Any, seconds: float) -> float:
    with agent.Session(profile="bash") as s:
        s.start()
        c0, t0 = time.process_time(), time.monotonic()
        s.send(f"sleep {seconds}", timeout_ms=int(seconds * 1000) + 5_000)
        return 100 * (time.process_time() - c0) / (time.monotonic() - t0)


def interrupt_latency(agent: Any, work: Path, rounds: int, call_timeout_ms: int) -> list[float]:
    script = work / "signalled.py"
    script.write_text(SIGNALLED)
    caught = work / "caught"
    out: list[float] = []
    with agent.Session([sys.executable, str(script), str(caught)], markers=["spinning"]) as s:
        s.read(timeout_ms=20_000)
        for _ in range(rounds):
            caught.unlink(missing_ok=True)
            running = threading.Thread(target=s.read, kwargs={"timeout_ms": call_timeout_ms})
            running.start()
            time.sleep(0.5)  # the read is well under way: its slices are full length
            asked = time.monotonic()
            s.interrupt(timeout_ms=0)
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                if caught.exists() and caught.read_text().endswith("\n"):
                    break
                time.sleep(0.001)
            out.append((float(caught.read_text().split()[0]) - asked) * 1e3)
            running.join()
    return out


def row(name: str, old: list[float] | None, new: list[float], unit: str = "ms") -> str:
    def cell(v: list[float] | None) -> str:
        if not v:
            return "—"
        return f"{statistics.median(v):.2f} / {pct(v, 90):.2f} / {max(v):.2f}"

    return f"| {name} | {cell(old)} | {cell(new)} | {unit} |"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer rounds")
    ap.add_argument("--baseline", default=DEFAULT_BASELINE, help="the old revision")
    args = ap.parse_args()
    rounds = 10 if args.quick else 30
    os.environ.pop("DEBUGINFOD_URLS", None)

    with tempfile.TemporaryDirectory(prefix="quillo-bench-ready-") as tmp:
        work = Path(tmp)
        old_dir = extract_baseline(args.baseline, work)
        new_dir = ROOT
        src = work / "debuggee.c"
        src.write_text(DEBUGGEE)
        debuggee = str(work / "debuggee")
        subprocess.run(["cc", "-g", "-O0", "-o", debuggee, str(src)], check=True)

        figures: dict[str, dict[str, list[float]]] = {"old": {}, "new": {}}
        servers = {"old": old_dir, "new": new_dir}
        gdb_start = {"profile": "gdb"}
        bc_start = {"argv": ["bc", "-q"], "markers": []}
        for name, start, line, expect, n, gap in (
            ("gdb", gdb_start, "print 1+1", "= 2", rounds, 0.0),
            ("gdb idle", gdb_start, "print 1+1", "= 2", max(5, rounds // 3), 0.5),
            ("bc", bc_start, "2+2", "4", rounds, 0.0),
        ):
            for label, got in asyncio.run(mcp_lines(servers, start, line, expect, n, gap)).items():
                figures[label][name] = got
        for label, where in servers.items():
            f = figures[label]
            agent = load_agent(where)
            f["blocked 0.1"] = blocked_to_reply(agent, work, 0.1, max(5, rounds // 3))
            f["blocked 2"] = blocked_to_reply(agent, work, 2.0, 3)
            timeout = 2_000
            f["interrupt"] = interrupt_latency(agent, work, 20 if label == "new" else 5, timeout)
            f["cpu"] = [busy_cpu(agent, 5 if args.quick else 10)]
        new_agent = load_agent(new_dir)
        costs = probe_cost(new_agent, debuggee, 300 if args.quick else 2_000)

    old, new = figures["old"], figures["new"]
    print(f"old: quillo_agent of {args.baseline}; new: this checkout. Cells: p50 / p90 / worst.\n")
    print("| What | old | new | unit |")
    print("|---|---|---|---|")
    print(row("MCP send `print 1+1` to gdb, back to back", old["gdb"], new["gdb"]))
    print(row("MCP send `print 1+1` to gdb, after a 0.5 s idle gap", old["gdb idle"], new["gdb idle"]))
    print(row("MCP send `2+2` to `bc -q` without a profile", old["bc"], new["bc"]))
    print(row("prompt-less program: blocked to reply, after 0.1 s of work", old["blocked 0.1"],
              new["blocked 0.1"]))
    print(row("prompt-less program: blocked to reply, after 2 s of work", old["blocked 2"],
              new["blocked 2"]))
    print(row("interrupt asked to SIGINT handled, a call running (old: its deadline 2 s)",
              old["interrupt"], new["interrupt"]))
    print(row("CPU while a send waits on a busy program", old["cpu"], new["cpu"], "% of a core"))
    print()
    print("| Probe cost | observe µs | settled µs |")
    print("|---|---|---|")
    for name, (observe, settled) in costs.items():
        print(f"| {name} | {observe:.0f} | {settled:.0f} |")
    gdb_p50 = statistics.median(new["gdb"])
    bc_p50 = statistics.median(new["bc"])
    blocked_p50 = statistics.median(new["blocked 0.1"])
    print(f"\naims: gdb per line p50 {gdb_p50:.2f} ms (at most 5): {'met' if gdb_p50 <= 5 else 'missed'}; "
          f"bc per line p50 {bc_p50:.2f} ms (at most 10): {'met' if bc_p50 <= 10 else 'missed'}; "
          f"blocked to reply p50 {blocked_p50:.2f} ms (at most 20): "
          f"{'met' if blocked_p50 <= 20 else 'missed'}; busy CPU {new['cpu'][0]:.2f}% (at most 2): "
          f"{'met' if new['cpu'][0] <= 2 else 'missed'}; interrupt worst "
          f"{max(new['interrupt']):.1f} ms (at most 50): "
          f"{'met' if max(new['interrupt']) <= 50 else 'missed'}")


if __name__ == "__main__":
    main()

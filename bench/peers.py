#!/usr/bin/env python3
"""quillo-mcp beside other MCP terminal servers: the same tasks, over stdio,
through the SDK's own client, each server in a process of its own.

    python bench/peers.py [--quick] [--servers a,b] [--tasks t1,t2]
                          [--markdown FILE] [--json FILE]

Run it through `scripts/bench.sh --peers` (which sets up .venv and makes sure
gdb, bc and tmux are there). The peers are installed from PyPI, each into a
venv of its own under build/peers/<name>/, at the versions pinned in PEERS
below (skipped when that venv already holds them), and run as black boxes:
their tool lists (`list_tools`) and their replies are all this file knows of
them. quillo-mcp is the one beside this interpreter (.venv/bin/quillo-mcp).

Tasks (one table each, the servers as columns):
  gdb     `gdb -q -nx` on a tiny C program, then `print 1+1` N times, back to
          back and with a 0.5 s pause before each (an agent thinks between
          commands): per-line wall time, and whether each reply held `$k = 2`
          and the prompt.
  bc      `bc -q` (no prompt at all), `2+2` N times: per-line time, correctness.
  wait    a C program that prints nothing and waits in fgets, started
          directly and run under gdb with `run`: how long until the call
          returns and what the reply says; then a line for it.
  long    `seq 1 300000` in bash: time, characters, first and last line,
          whether a cut is marked; then the calls it takes to get the prompt.
  ctrl-c  `sleep 30` sent with a short wait, then the server's Ctrl-C: time
          to the prompt; `yes`, then Ctrl-C: does one call bring the prompt
          back.

Bounds: every tool call has a deadline (CALL_S), every task a budget of its
own (TASK_S, enforced in the worker and again, harder, by the parent, which
kills the worker's whole process tree past it), and the per-line loops stop
early once a loop has used LOOP_S (the table says how many lines ran). A
server that fails, crashes or hangs is reported in its column; the run goes on.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
import math
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
PEERS_DIR = ROOT / "build" / "peers"

# The versions measured (and the MCP stack under each, which changes how they
# behave as much as their own code does).
PEERS: dict[str, list[str]] = {
    "expty-mcp": ["expty-mcp==0.1.2", "mcp==2.3.0"],
    "libtmux-mcp": ["libtmux-mcp==0.1.0a22", "libtmux==0.62.0", "fastmcp==4.2.6", "mcp==2.3.0"],
    "cleat": ["cleat==0.2.4", "mcp==2.3.0"],
}
SERVERS = ["quillo-mcp", *PEERS]
TASKS = ["gdb", "bc", "wait", "long", "ctrl-c"]

CALL_S = 40.0    # one tool call (above every server default used: 30 s at most)
TASK_S = 240.0   # one task on one server, in the worker
KILL_S = 30.0    # the parent's margin over TASK_S before it kills the worker's tree
LOOP_S = 45.0    # a per-line loop stops after this much time (bc: 8 s defaults)
IDLE_S = 0.5     # the pause before each line in the idle variant
POLL_S = 0.05    # client-side polling interval (libtmux-mcp), its own wait's default
SHORT_S = 0.3    # the "short wait" for `sleep 30` and `yes`
SEQ_N = 300_000

GDB_PROMPT = "(gdb) "
EXPTY_GDB = r"\(gdb\) "   # expty-mcp patterns are regular expressions
SHELL_RE = re.compile(r"[$#]\s*$")   # the peers' bash prompts end in "# " (root) or "$ "

TINY_C = "int main(void) { return 0; }\n"
WAITER_C = r"""
#include <stdio.h>
/* Prints nothing until it has a line: no prompt for anyone to see. */
int main(void) {
  char line[256];
  if (fgets(line, sizeof line, stdin)) printf("got %s", line);
  return 0;
}
"""


# --------------------------------------------------------------------------
# Setup: the peers' venvs and the child programs


def ensure_peer(name: str) -> Path:
    """The peer's executable, installing its pinned versions first if needed."""
    venv = PEERS_DIR / name
    exe = venv / "bin" / name
    stamp = venv / "bench-pins.txt"
    want = "\n".join(PEERS[name]) + "\n"
    python = venv / "bin" / "python"
    usable = subprocess.run([str(python), "-c", ""], capture_output=True).returncode == 0 \
        if python.exists() else False
    if usable and exe.exists() and stamp.exists() and stamp.read_text() == want:
        return exe
    print(f"peers: installing {' '.join(PEERS[name])} into {venv}", file=sys.stderr)
    if venv.exists():
        shutil.rmtree(venv)
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--pre", *PEERS[name]], check=True)
    stamp.write_text(want)
    return exe


def server_command(name: str) -> list[str]:
    if name == "quillo-mcp":
        exe = shutil.which("quillo-mcp", path=os.path.dirname(sys.executable))
        if not exe:
            raise SystemExit("quillo-mcp is not beside this interpreter: run scripts/setup.sh")
        return [exe]
    return [str(PEERS_DIR / name / "bin" / name)]


def installed_versions(name: str) -> str:
    if name == "quillo-mcp":
        python, dists = sys.executable, ["quillo", "mcp"]
    else:
        python = str(PEERS_DIR / name / "bin" / "python")
        dists = [req.split("==")[0] for req in PEERS[name]]
    code = ("import importlib.metadata as m, sys\n"
            "print(', '.join(f'{d} {m.version(d)}' for d in sys.argv[1:]))")
    out = subprocess.run([python, "-c", code, *dists], capture_output=True, text=True)
    return out.stdout.strip() or "?"


def build_programs(work: Path) -> dict[str, str]:
    out = {}
    for name, src in (("tiny", TINY_C), ("waiter", WAITER_C)):
        (work / f"{name}.c").write_text(src)
        subprocess.run(["cc", "-g", "-O0", "-o", str(work / name), str(work / f"{name}.c")], check=True)
        out[name] = str(work / name)
    return out


# --------------------------------------------------------------------------
# The client side: one call, one reply


class CallFailed(Exception):
    """A tool error, a protocol error or a call past its deadline."""


@dataclass
class Reply:
    text: str
    ms: float
    calls: int
    prompt: bool            # the prompt is back: seen in the text, or the server says so
    what: str = ""          # the server's own words on how the call ended
    cut: bool | None = None  # the server marked a cut (None: it has no way to say)
    raw: dict[str, Any] = field(default_factory=dict)


class Client:
    def __init__(self, session: Any) -> None:
        self.session = session
        self.calls = 0

    async def call(self, name: str, args: dict[str, Any], timeout: float = CALL_S) -> dict[str, Any]:
        self.calls += 1
        try:
            r = await self.session.call_tool(name, args, read_timeout_seconds=timeout)
        except Exception as e:  # the SDK's timeout and transport errors
            raise CallFailed(f"{name}: {type(e).__name__}: {e}") from e
        text = "".join(getattr(b, "text", "") for b in r.content)
        if r.is_error:
            raise CallFailed(f"{name}: tool error: {text[:300]}")
        if r.structured_content is not None:
            return dict(r.structured_content)
        try:
            payload = json.loads(text)
        except ValueError:
            return {"result": text}
        return payload if isinstance(payload, dict) else {"result": payload}


# --------------------------------------------------------------------------
# Adapters: how each server starts a program, sends a line, reads, sends
# Ctrl-C and closes. `kind` says which program runs: "gdb", "bc", "shell"
# (bash) or "waiter" (the prompt-less C program).


class Adapter:
    name = ""
    tools: tuple[str, ...] = ()   # the tools it needs: all must be in list_tools

    def __init__(self, client: Client, programs: dict[str, str]) -> None:
        self.c = client
        self.programs = programs
        self.kind = ""

    async def timed(self, coro: Any) -> tuple[Any, float, int]:
        calls = self.c.calls
        t = time.perf_counter()
        out = await coro
        return out, (time.perf_counter() - t) * 1e3, self.c.calls - calls

    def argv(self, kind: str) -> list[str]:
        return {
            "gdb": ["gdb", "-q", "-nx", self.programs["tiny"]],
            "gdb-waiter": ["gdb", "-q", "-nx", self.programs["waiter"]],
            "bc": ["bc", "-q"],
            "waiter": [self.programs["waiter"]],
        }[kind]

    async def start(self, kind: str) -> Reply:
        raise NotImplementedError

    async def line(self, text: str, short: bool = False) -> Reply:
        """Send one line and wait the server's way; `short`: the short wait."""
        raise NotImplementedError

    async def read(self) -> Reply:
        """Wait for more output, up to the prompt where the server can tell."""
        raise NotImplementedError

    async def interrupt(self) -> Reply:
        """Ctrl-C, and the server's way of waiting for the prompt after it."""
        raise NotImplementedError

    async def close(self) -> None:
        pass

    async def teardown(self) -> None:
        pass


class Quillo(Adapter):
    """quillo-mcp with its defaults (a call's deadline 10 s, 20,000 characters
    a reply). gdb: profile "gdb" (its markers; it also turns pagination and
    confirmation off). bc: markers [] (quiet waits). The waiter: argv only, no
    markers (a quiet wait). bash: profile "bash". The short wait: timeout_ms 300."""

    name = "quillo-mcp"
    tools = ("start", "send", "read", "interrupt", "close")

    def reply(self, r: dict[str, Any], ms: float, calls: int) -> Reply:
        flags = [k for k in ("ready", "timed_out", "exited") if r.get(k)]
        what = ", ".join(flags) or "neither ready nor timed out"
        if r.get("cut_chars"):
            what += f", {r['cut_chars']:,} chars cut"
        return Reply(r.get("text", ""), ms, calls, bool(r.get("ready")), what,
                     bool(r.get("cut_chars")), r)

    async def start(self, kind: str) -> Reply:
        self.kind = kind
        args: dict[str, Any]
        if kind in ("gdb", "gdb-waiter"):
            args = {"argv": self.argv(kind), "profile": "gdb"}
        elif kind == "bc":
            args = {"argv": self.argv(kind), "markers": []}
        elif kind == "shell":
            args = {"profile": "bash"}
        else:
            args = {"argv": self.argv(kind)}
        r, ms, n = await self.timed(self.c.call("start", args))
        self.sid = r["session"]
        return self.reply(r, ms, n)

    async def line(self, text: str, short: bool = False) -> Reply:
        args: dict[str, Any] = {"session": self.sid, "input": text}
        if short:
            args["timeout_ms"] = int(SHORT_S * 1000)
        r, ms, n = await self.timed(self.c.call("send", args))
        return self.reply(r, ms, n)

    async def read(self) -> Reply:
        r, ms, n = await self.timed(self.c.call("read", {"session": self.sid, "wait": True}))
        return self.reply(r, ms, n)

    async def interrupt(self) -> Reply:
        r, ms, n = await self.timed(self.c.call("interrupt", {"session": self.sid}))
        return self.reply(r, ms, n)

    async def close(self) -> None:
        await self.c.call("close", {"session": self.sid})


class Expty(Adapter):
    """expty-mcp: `spawn` (a command string; none: its default shell, bash),
    `exec_expect` to send a line and wait for a prompt (its default timeout,
    8 s; its default prompt list for bash and bc, and the regular expression
    `\\(gdb\\) ` for gdb, whose prompt that list does not hold: with the
    defaults every gdb line waits the full 8 s). After spawn, `expect` waits
    for the first prompt. Ctrl-C: `send` of "\\x03", then `expect` of the
    prompt (two calls). The short wait: timeout 0.3."""

    name = "expty-mcp"
    tools = ("spawn", "exec_expect", "expect", "send", "read_buffer", "close_session")

    def prompt_re(self) -> str | None:
        return {"gdb": EXPTY_GDB, "gdb-waiter": EXPTY_GDB, "shell": SHELL_RE.pattern}.get(self.kind)

    async def start(self, kind: str) -> Reply:
        self.kind = kind
        calls, t = self.c.calls, time.perf_counter()
        args = {} if kind == "shell" else {"command": " ".join(self.argv(kind))}
        r = await self.c.call("spawn", args)
        self.sid = r["session_id"]
        text, prompt, what = "", False, "spawned, no wait"
        if self.prompt_re():
            e = await self.c.call("expect", {"session_id": self.sid, "patterns": [self.prompt_re()]})
            text, prompt = e.get("output", ""), bool(e.get("matched"))
            what = "prompt matched" if prompt else "expect: no match"
        return Reply(text, (time.perf_counter() - t) * 1e3, self.c.calls - calls, prompt, what)

    def reply(self, r: dict[str, Any], ms: float, calls: int) -> Reply:
        ok = bool(r.get("success") or r.get("matched"))
        flags = ["prompt matched" if ok else "no prompt"]
        flags += [k for k in ("timeout", "process_exited") if r.get(k)]
        return Reply(r.get("output", ""), ms, calls, ok, ", ".join(flags), None, r)

    async def line(self, text: str, short: bool = False) -> Reply:
        args: dict[str, Any] = {"session_id": self.sid, "command": text}
        if self.kind in ("gdb", "gdb-waiter"):
            args["prompts"] = [EXPTY_GDB]
        if short:
            args["timeout"] = SHORT_S
        r, ms, n = await self.timed(self.c.call("exec_expect", args))
        return self.reply(r, ms, n)

    async def read(self) -> Reply:
        pattern = self.prompt_re()
        if pattern is None:
            r, ms, n = await self.timed(self.c.call("read_buffer", {"session_id": self.sid}))
            return Reply(r.get("result", ""), ms, n, False, "read_buffer (no wait)")
        r, ms, n = await self.timed(self.c.call(
            "expect", {"session_id": self.sid, "patterns": [pattern]}))
        return self.reply(r, ms, n)

    async def interrupt(self) -> Reply:
        async def both() -> dict[str, Any]:
            await self.c.call("send", {"session_id": self.sid, "text": "\x03"})
            return await self.c.call("expect", {"session_id": self.sid, "patterns": [self.prompt_re()]})
        r, ms, n = await self.timed(both())
        return self.reply(r, ms, n)

    async def close(self) -> None:
        await self.c.call("close_session", {"session_id": self.sid})


class Cleat(Adapter):
    """cleat: one persistent bash per server (each task has a server of its
    own). Programs are typed into it with `run_command` (its default timeout,
    10 s), lines to a running program go by `send_keys` with enter=true (its
    default timeout, 2 s), which returns the rendered screen; shell commands
    by `run_command`. Ctrl-C: `send_keys` of "\\x03". Reading: `wait_for`
    (its default, 30 s). The short wait: run_command timeout 0.3. No close:
    the shell ends with the server."""

    name = "cleat"
    tools = ("run_command", "send_keys", "wait_for", "read_output")

    def reply(self, r: dict[str, Any], ms: float, calls: int) -> Reply:
        text = r.get("stdout", r.get("screen", r.get("output", "")))
        state = r.get("state", "?")
        if self.kind in ("gdb", "gdb-waiter") and "screen" in r:
            prompt = text.rstrip().endswith(GDB_PROMPT.rstrip())
        else:
            prompt = bool(r.get("completed")) and state == "idle"
        what = f"state {state}" + (", completed" if r.get("completed") else "")
        if r.get("truncated"):
            what += ", truncated"
        return Reply(text, ms, calls, prompt, what, bool(r.get("truncated")), r)

    async def start(self, kind: str) -> Reply:
        self.kind = kind
        command = "true" if kind == "shell" else " ".join(self.argv(kind))
        r, ms, n = await self.timed(self.c.call("run_command", {"command": command}))
        rep = self.reply(r, ms, n)
        if kind in ("gdb", "gdb-waiter"):
            rep.prompt = rep.text.rstrip().endswith(GDB_PROMPT.rstrip())
        return rep

    async def line(self, text: str, short: bool = False) -> Reply:
        if self.kind == "shell":
            args: dict[str, Any] = {"command": text}
            if short:
                args["timeout"] = SHORT_S
            r, ms, n = await self.timed(self.c.call("run_command", args))
        else:
            r, ms, n = await self.timed(self.c.call("send_keys", {"keys": text, "enter": True}))
        return self.reply(r, ms, n)

    async def read(self) -> Reply:
        r, ms, n = await self.timed(self.c.call("wait_for", {}))
        return self.reply(r, ms, n)

    async def interrupt(self) -> Reply:
        r, ms, n = await self.timed(self.c.call("send_keys", {"keys": "\x03"}))
        return self.reply(r, ms, n)


class Libtmux(Adapter):
    """libtmux-mcp on a tmux server of its own (LIBTMUX_SOCKET, killed by the
    bench afterwards), with the teardown tools listed (LIBTMUX_TOOLSETS) for
    `kill_session`. Start: `create_session` (a bash pane, tmux's default
    80x24), and for a program `send_keys` of its command line to that shell.
    Shell commands: `run_command` (its default timeout, 30 s; the short
    wait: 0.3). Lines to a program: `send_keys`, then `capture_since` polled
    every 50 ms until the prompt is the last line (up to 10 s): its own wait,
    `wait_for_text`, only sees rows written after it starts, and a fast reply
    is on the screen before it does (the gdb table shows that case). With no
    prompt to look for (bc, the waiter), `send_keys` then `wait_for_text` for
    any new output (its default, 8 s), then `capture_since`. Ctrl-C:
    `send_keys` of "C-c" (enter false), then the same poll for the prompt."""

    name = "libtmux-mcp"
    tools = ("create_session", "send_keys", "run_command", "capture_since",
             "wait_for_text", "kill_session")
    POLL_BOUND_S = 10.0

    def __init__(self, client: Client, programs: dict[str, str]) -> None:
        super().__init__(client, programs)
        self.cursor: str | None = None

    def prompt_done(self, lines: list[str]) -> bool:
        if not lines:
            return False
        last = lines[-1].rstrip()
        if self.kind in ("gdb", "gdb-waiter"):
            return last == GDB_PROMPT.rstrip()
        return bool(SHELL_RE.search(last))

    async def capture(self) -> list[str]:
        args = {"cursor": self.cursor} if self.cursor else {"pane_id": self.pane}
        r = await self.c.call("capture_since", args)
        self.cursor = r.get("cursor")
        return list(r.get("lines", []))

    async def poll(self) -> tuple[list[str], bool]:
        """capture_since until the prompt is the last line, or POLL_BOUND_S."""
        lines: list[str] = []
        end = time.perf_counter() + self.POLL_BOUND_S
        while True:
            new = await self.capture()
            lines += new
            if self.prompt_done(new):
                return lines, True
            if time.perf_counter() > end:
                return lines, False
            await asyncio.sleep(POLL_S)

    async def start(self, kind: str) -> Reply:
        self.kind = kind
        calls, t = self.c.calls, time.perf_counter()
        if not hasattr(self, "pane"):
            r = await self.c.call("create_session", {"session_name": "bench"})
            self.pane = r["active_pane_id"]
        lines, prompt, what = await self.capture(), False, "no wait"
        if kind != "shell":
            await self.c.call("send_keys", {"pane_id": self.pane, "keys": " ".join(self.argv(kind))})
            lines = []
        if kind in ("gdb", "gdb-waiter", "shell"):
            if self.prompt_done(lines):
                prompt = True
            else:
                more, prompt = await self.poll()
                lines += more
            what = "prompt polled" if prompt else "poll bound passed"
        return Reply("\n".join(lines), (time.perf_counter() - t) * 1e3, self.c.calls - calls,
                     prompt, what)

    async def wait_any(self) -> tuple[list[str], str]:
        w = await self.c.call("wait_for_text", {"pane_id": self.pane})
        what = f"wait_for_text {w.get('outcome')}"
        return await self.capture(), what

    async def line(self, text: str, short: bool = False) -> Reply:
        calls, t = self.c.calls, time.perf_counter()
        if self.kind == "shell":
            args: dict[str, Any] = {"pane_id": self.pane, "command": text}
            if short:
                args["timeout"] = SHORT_S
            r = await self.c.call("run_command", args)
            out = r.get("output", [])
            what = "timed out" if r.get("timed_out") else f"exit status {r.get('exit_status')}"
            if r.get("output_truncated"):
                what += f", {r.get('output_truncated_lines')} lines truncated"
            return Reply("\n".join(out), (time.perf_counter() - t) * 1e3, self.c.calls - calls,
                         not r.get("timed_out"), what, bool(r.get("output_truncated")), r)
        if self.cursor is None:
            await self.capture()
        await self.c.call("send_keys", {"pane_id": self.pane, "keys": text})
        if self.kind in ("gdb", "gdb-waiter"):
            lines, prompt = await self.poll()
            what = "prompt polled" if prompt else "poll bound passed"
        else:
            lines, what = await self.wait_any()
            prompt = False
        return Reply("\n".join(lines), (time.perf_counter() - t) * 1e3, self.c.calls - calls,
                     prompt, what)

    async def documented_wait(self, text: str) -> Reply:
        """send_keys, then wait_for_text for the prompt, as the tool list advises."""
        calls, t = self.c.calls, time.perf_counter()
        await self.c.call("send_keys", {"pane_id": self.pane, "keys": text})
        w = await self.c.call("wait_for_text", {"pane_id": self.pane, "patterns": [GDB_PROMPT.rstrip()]})
        lines = await self.capture()
        what = f"wait_for_text {w.get('outcome')}"
        if w.get("matched_at_entry"):
            what += ", matched_at_entry"
        return Reply("\n".join(lines), (time.perf_counter() - t) * 1e3, self.c.calls - calls,
                     bool(w.get("found")), what, None, w)

    async def read(self) -> Reply:
        calls, t = self.c.calls, time.perf_counter()
        if self.kind in ("bc", "waiter"):
            lines, what = await self.wait_any()
            prompt = False
        else:
            lines, prompt = await self.poll()
            what = "prompt polled" if prompt else "poll bound passed"
        return Reply("\n".join(lines), (time.perf_counter() - t) * 1e3, self.c.calls - calls,
                     prompt, what)

    async def interrupt(self) -> Reply:
        await self.capture()  # a cursor from here on: only what the interrupt brings
        calls, t = self.c.calls, time.perf_counter()
        await self.c.call("send_keys", {"pane_id": self.pane, "keys": "C-c", "enter": False})
        lines, prompt = await self.poll()
        return Reply("\n".join(lines), (time.perf_counter() - t) * 1e3, self.c.calls - calls,
                     prompt, "prompt polled" if prompt else "poll bound passed")

    async def close(self) -> None:
        # The pane's shell outlives the program; the next start types into it.
        if self.kind in ("gdb", "gdb-waiter"):
            await self.c.call("send_keys", {"pane_id": self.pane, "keys": "quit"})
        self.cursor = None

    async def teardown(self) -> None:
        await self.c.call("kill_session", {"session_name": "bench"})


ADAPTERS: dict[str, type[Adapter]] = {
    "quillo-mcp": Quillo, "expty-mcp": Expty, "cleat": Cleat, "libtmux-mcp": Libtmux,
}


# --------------------------------------------------------------------------
# Figures


def pct(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[max(0, min(len(ordered) - 1, math.ceil(q / 100 * len(ordered)) - 1))]


def ms(v: float) -> str:
    return f"{v:,.1f}" if v < 100 else f"{v:,.0f}"


def excerpt(text: str, n: int = 60) -> str:
    """The end of a text, on one line: where a reply says how it ended."""
    flat = " ".join(text.split())
    flat = flat if len(flat) <= n else "…" + flat[-(n - 1):]
    return f"`{flat.replace('|', '/').replace('`', '')}`" if flat else "(empty)"


def said(rep: Reply) -> str:
    return f"{ms(rep.ms)} ms ({rep.what}; {rep.calls} call{'s' if rep.calls != 1 else ''}): {excerpt(rep.text)}"


class Rows:
    """A task's results on one server: labelled cells, in order, plus numbers."""

    def __init__(self) -> None:
        self.cells: dict[str, str] = {}
        self.numbers: dict[str, float] = {}
        self.notes: list[str] = []

    def __setitem__(self, label: str, value: str) -> None:
        self.cells[label] = value


async def until_prompt(a: Adapter, first: Reply, limit: int = 20) -> tuple[int, float, Reply]:
    """Reads after `first` until the prompt is back: (calls, ms in all, last reply)."""
    calls, total, rep = first.calls, first.ms, first
    for _ in range(limit):
        if rep.prompt:
            break
        rep = await a.read()
        calls += rep.calls
        total += rep.ms
    return calls, total, rep


async def lines_loop(a: Adapter, text: str, n: int, gap: float, check: Any, rows: Rows,
                     label: str, key: str) -> None:
    times: list[float] = []
    calls: list[int] = []
    chars: list[int] = []
    ended: dict[str, int] = {}
    good = prompts = 0
    loop_end = time.perf_counter() + LOOP_S
    for i in range(n):
        if gap:
            await asyncio.sleep(gap)
        rep = await a.line(text)
        times.append(rep.ms)
        good += bool(check(rep, i))
        prompts += rep.prompt
        calls.append(rep.calls)
        chars.append(len(rep.text))
        ended[rep.what] = ended.get(rep.what, 0) + 1
        if time.perf_counter() > loop_end and i + 1 < n:
            rows.notes.append(f"{label}: stopped after {i + 1} of {n} lines (the loop's {LOOP_S:.0f} s)")
            break
    done = len(times)
    rows[f"{label}: p50 / p90 ms"] = f"{ms(statistics.median(times))} / {ms(pct(times, 90))}"
    rows[f"{label}: lines run"] = f"{done} of {n}"
    rows[f"{label}: right answer"] = f"{good}/{done}"
    rows[f"{label}: prompt back"] = f"{prompts}/{done}"
    rows[f"{label}: calls per line"] = f"{statistics.median(calls):g}"
    rows[f"{label}: chars per reply p50"] = f"{statistics.median(chars):,.0f}"
    rows[f"{label}: how calls ended"] = "; ".join(f"{k} ×{v}" for k, v in ended.items())
    rows.numbers[key] = statistics.median(times)


async def task_gdb(a: Adapter, rows: Rows, n: int) -> None:
    rep = await a.start("gdb")
    rows["start"] = f"{ms(rep.ms)} ms, prompt {'back' if rep.prompt else 'not seen'}"
    count = [0]

    def check(rep: Reply, i: int) -> bool:
        count[0] += 1
        return f"${count[0]} = 2" in rep.text

    await lines_loop(a, "print 1+1", n, 0.0, check, rows, "back to back", "gdb")
    await lines_loop(a, "print 1+1", n, IDLE_S, check, rows, f"after {IDLE_S:g} s idle", "gdb idle")
    if isinstance(a, Libtmux):
        rep = await a.documented_wait("print 1+1")
        count[0] += 1
        rows["send_keys + wait_for_text for the prompt"] = said(rep)
    else:
        rows["send_keys + wait_for_text for the prompt"] = "—"
    await a.close()


async def task_bc(a: Adapter, rows: Rows, n: int) -> None:
    rep = await a.start("bc")
    rows["start"] = said(rep)
    # Right: the reply's last line is the answer (a screen holds the earlier ones too).
    await lines_loop(a, "2+2", n, 0.0, lambda rep, i: last_line(rep.text) == "4", rows, "2+2", "bc")
    await a.close()


async def task_wait(a: Adapter, rows: Rows) -> None:
    rep = await a.start("waiter")
    rows["direct: start call"] = said(rep)
    if "no wait" in rep.what:  # the start did not wait: what a read then gives
        rep = await a.read()
        rows["direct: a read after it"] = said(rep)
    else:
        rows["direct: a read after it"] = "—"
    rep = await a.line("hello")
    rows["direct: then `hello`"] = f"{'got hello' if 'got hello' in rep.text else 'no reply'}: {said(rep)}"
    await a.close()

    # A fresh server would be fairer to cleat's single shell, but the gdb run
    # is a second program in the same server for all, so all get the same.
    rep = await a.start("gdb-waiter")
    rows["gdb: start"] = f"{ms(rep.ms)} ms, prompt {'back' if rep.prompt else 'not seen'}"
    rep = await a.line("run")
    rows["gdb: `run` call"] = said(rep)
    rep = await a.line("hello")
    rows["gdb: then `hello`"] = f"{'got hello' if 'got hello' in rep.text else 'no reply'}, prompt " \
        f"{'back' if rep.prompt else 'not seen'}: {ms(rep.ms)} ms"
    await a.close()


def last_line(text: str) -> str:
    lines = [s.strip() for s in text.splitlines() if s.strip()]
    return lines[-1] if lines else ""


def seq_gap(text: str) -> str:
    """The first break in the numbers of a `seq` reply, and what stands in it."""
    lines = text.splitlines()
    prev, prev_i, first = None, 0, None
    for i, s in enumerate(lines):
        if not s.isdigit():
            continue
        v = int(s)
        first = v if first is None else first
        if prev is not None and v != prev + 1:
            after = " / ".join(x.strip() for x in lines[prev_i + 1:prev_i + 4])
            flat = after if len(after) <= 100 else after[:99] + "…"
            return f"after {prev:,}: `{flat.replace('|', '/')}`"
        prev, prev_i = v, i
    return "none" if first is None else f"none (the numbers run {first:,} to {prev:,})"


def seq_facts(text: str) -> tuple[int, bool, bool]:
    lines = text.splitlines()
    numbers = {s for s in lines if s.isdigit()}
    first = any(lines[i] == "1" and lines[i + 1] == "2" for i in range(len(lines) - 1))
    return len(numbers), first, str(SEQ_N) in numbers


async def task_long(a: Adapter, rows: Rows) -> None:
    await a.start("shell")
    rep = await a.line(f"seq 1 {SEQ_N}")
    count, first, last = seq_facts(rep.text)
    rows["call"] = f"{ms(rep.ms)} ms ({rep.what})"
    rows["characters returned"] = f"{len(rep.text):,}"
    rows[f"seq lines in the reply (of {SEQ_N:,})"] = f"{count:,}"
    rows["first line (1) / last line (300000)"] = f"{'yes' if first else 'no'} / {'yes' if last else 'no'}"
    marker = re.search(r"\[[^\]\n]*(cut|truncat)[^\]\n]*\]", rep.text)
    mark = "no" if rep.cut is False else ("no flag" if rep.cut is None else "flag")
    if marker:
        mark += f", text says `{marker.group(0)[:70]}`"
    rows["cut marked"] = mark
    rows["the first gap in the numbers"] = seq_gap(rep.text)
    rows["prompt back in that call"] = "yes" if rep.prompt else "no"
    calls, total, last_rep = await until_prompt(a, rep)
    rows["calls until the prompt / ms in all"] = \
        f"{calls} / {ms(total)}" + ("" if last_rep.prompt else " (prompt never seen)")
    rows.numbers["long"] = rep.ms
    await a.close()


async def task_ctrl_c(a: Adapter, rows: Rows) -> None:
    await a.start("shell")
    rep = await a.line("sleep 30", short=True)
    rows["`sleep 30`, short wait"] = f"{ms(rep.ms)} ms ({rep.what})"
    rep = await a.interrupt()
    calls, total, last = await until_prompt(a, rep)
    rows["Ctrl-C → prompt"] = f"{ms(total)} ms, {calls} call{'s' if calls != 1 else ''}" + \
        ("" if last.prompt else " (prompt never seen)")
    rows.numbers["ctrl-c"] = total
    rep = await a.line("yes", short=True)
    rows["`yes`, short wait"] = f"{ms(rep.ms)} ms, {len(rep.text):,} chars ({rep.what})"
    rep = await a.interrupt()
    rows["`yes`: the first interrupt's reply shows the prompt"] = \
        f"{'yes' if rep.prompt else 'no'} ({ms(rep.ms)} ms, {len(rep.text):,} chars, {rep.what})"
    calls, total, last = await until_prompt(a, rep)
    rows["`yes`: Ctrl-C → prompt"] = f"{ms(total)} ms, {calls} call{'s' if calls != 1 else ''}" + \
        ("" if last.prompt else " (prompt never seen)")
    rep = await a.line("echo after")
    clean = rep.prompt and "after" in (s.strip() for s in rep.text.splitlines())
    rows["then `echo after`"] = "answered, prompt back" if clean else said(rep)
    await a.close()


# --------------------------------------------------------------------------
# Worker: one task on one server, in a process of its own


def leaves(e: BaseException) -> list[BaseException]:
    """The errors inside (nested) exception groups, as the SDK's task groups raise them."""
    if isinstance(e, BaseExceptionGroup):
        return [leaf for sub in e.exceptions for leaf in leaves(sub)]
    return [e]


def server_env(name: str, tag: str, work: Path) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k != "DEBUGINFOD_URLS"}
    # An empty home: the peers' shells (bash -i under expty-mcp, tmux and
    # cleat) would otherwise run this machine's ~/.bashrc and ~/.profile, and
    # time whatever those do (here: `pyenv init`, which can wait a minute on
    # a lock other work holds). quillo's bash profile reads no rc files.
    env["HOME"] = str(work / "home")
    if name == "libtmux-mcp":
        env["LIBTMUX_SOCKET"] = tag
        env["LIBTMUX_TOOLSETS"] = "inspect,manage,execute,teardown"
    return env


async def worker(server: str, task: str, work: Path, quick: bool, tag: str) -> dict[str, Any]:
    from mcp import ClientSession
    from mcp.client.stdio import StdioServerParameters, stdio_client

    rows = Rows()
    out: dict[str, Any] = {"server": server, "task": task}
    cmd = server_command(server)
    params = StdioServerParameters(command=cmd[0], args=cmd[1:], env=server_env(server, tag, work),
                                    cwd=str(work))
    programs = {"tiny": str(work / "tiny"), "waiter": str(work / "waiter")}
    n = 10 if quick else (30 if task == "gdb" else 20)
    with open(work / f"{server}-{task}.stderr", "w") as errlog:
        try:
            async with asyncio.timeout(TASK_S):
                async with stdio_client(params, errlog=errlog) as (r, w):
                    async with ClientSession(r, w) as session:
                        await session.initialize()
                        listed = await session.list_tools()
                        names = {t.name for t in listed.tools}
                        out["tools"] = len(names)
                        adapter = ADAPTERS[server](Client(session), programs)
                        missing = [t for t in adapter.tools if t not in names]
                        if missing:
                            out["na"] = f"tools not offered: {', '.join(missing)}"
                            return out
                        if task == "gdb":
                            await task_gdb(adapter, rows, n)
                        elif task == "bc":
                            await task_bc(adapter, rows, n)
                        elif task == "wait":
                            await task_wait(adapter, rows)
                        elif task == "long":
                            await task_long(adapter, rows)
                        else:
                            await task_ctrl_c(adapter, rows)
                        await adapter.teardown()
        except TimeoutError:
            out["failed"] = f"hung: the task passed its {TASK_S:.0f} s bound"
        except CallFailed as e:
            out["failed"] = str(e)
        except Exception as e:  # a crash of the server shows up here as a transport error
            out["failed"] = "; ".join(f"{type(x).__name__}: {x}" for x in leaves(e))[:300]
    out.update(cells=rows.cells, numbers=rows.numbers, notes=rows.notes)
    return out


# --------------------------------------------------------------------------
# Parent: run the workers under a hard bound, print the tables


def descendants(pid: int) -> list[int]:
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(ppid, []).append(int(entry))
    out, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            out.append(child)
            todo.append(child)
    return out


def run_worker(server: str, task: str, work: Path, quick: bool) -> dict[str, Any]:
    tag = f"quillo-bench-{os.getpid()}-{task}"
    args = [sys.executable, __file__, "--worker", server, task, "--workdir", str(work)]
    if quick:
        args.append("--quick")
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True, start_new_session=True,
                            env={**os.environ, "QUILLO_BENCH_TAG": tag})
    try:
        stdout, _ = proc.communicate(timeout=TASK_S + KILL_S)
        result = json.loads(stdout.strip().splitlines()[-1]) if stdout.strip() else None
        if result is None:
            result = {"server": server, "task": task, "failed": f"worker exited {proc.returncode}, no result"}
    except subprocess.TimeoutExpired:
        # The server runs in a session of its own (the SDK's stdio_client), so the
        # worker's group is not enough: end the whole tree, by process id.
        for pid in [*reversed(descendants(proc.pid)), proc.pid]:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        proc.wait()
        result = {"server": server, "task": task, "failed": f"killed: past {TASK_S + KILL_S:.0f} s"}
    except ValueError as e:
        result = {"server": server, "task": task, "failed": f"unreadable result: {e}"}
    if server == "libtmux-mcp" and shutil.which("tmux"):
        subprocess.run(["tmux", "-L", tag, "kill-server"], capture_output=True)
        # The server often ends on its own when the last session goes, and
        # leaves its socket file behind: remove the bench's own.
        sock = Path(os.environ.get("TMUX_TMPDIR", "/tmp")) / f"tmux-{os.getuid()}" / tag
        with contextlib.suppress(FileNotFoundError):
            sock.unlink()
    return result


TITLES = {
    "gdb": "gdb, `print 1+1` per line",
    "bc": "bc -q, no prompt: `2+2` per line",
    "wait": "A program that prints nothing and waits for a line",
    "long": f"`seq 1 {SEQ_N}` in bash",
    "ctrl-c": "Ctrl-C in bash",
}


def table(task: str, results: list[dict[str, Any]]) -> list[str]:
    servers = [r["server"] for r in results]
    labels: list[str] = []
    for r in results:
        labels += [k for k in r.get("cells", {}) if k not in labels]
    out = [f"### {TITLES[task]}", "", "| | " + " | ".join(servers) + " |",
           "|---|" + "---|" * len(servers)]
    for label in labels:
        cells = []
        for r in results:
            cell = r.get("cells", {}).get(label)
            cells.append(cell if cell is not None else ("n/a" if "na" in r else "—" if "failed" not in r else "(failed)"))
        out.append(f"| {label} | " + " | ".join(cells) + " |")
    notes = []
    for r in results:
        if "na" in r:
            notes.append(f"- {r['server']}: n/a: {r['na']}")
        if "failed" in r:
            notes.append(f"- {r['server']}: failed: {r['failed']}")
        notes += [f"- {r['server']}: {note}" for note in r.get("notes", [])]
    return out + ([""] + notes if notes else []) + [""]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="10 lines per loop instead of 30 (gdb) and 20 (bc)")
    ap.add_argument("--servers", default=",".join(SERVERS), help="a subset of " + ", ".join(SERVERS))
    ap.add_argument("--tasks", default=",".join(TASKS), help="a subset of " + ", ".join(TASKS))
    ap.add_argument("--markdown", help="also write the tables to this file")
    ap.add_argument("--json", help="also write every result to this file")
    ap.add_argument("--workdir", help=argparse.SUPPRESS)
    ap.add_argument("--worker", nargs=2, metavar=("SERVER", "TASK"), help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.worker:
        server, task = args.worker
        tag = os.environ.get("QUILLO_BENCH_TAG", f"quillo-bench-{os.getpid()}")
        result = asyncio.run(worker(server, task, Path(args.workdir), args.quick, tag))
        print(json.dumps(result))
        return

    servers = [s for s in args.servers.split(",") if s]
    tasks = [t for t in args.tasks.split(",") if t]
    for bad in set(servers) - set(SERVERS) | set(tasks) - set(TASKS):
        raise SystemExit(f"peers: unknown server or task {bad!r}")
    unusable: dict[str, str] = {}
    for name in servers:
        if name in PEERS:
            try:
                ensure_peer(name)
            except subprocess.CalledProcessError as e:
                unusable[name] = f"install failed ({e})"
    if "libtmux-mcp" in servers and not shutil.which("tmux"):
        unusable["libtmux-mcp"] = "tmux is not installed"
    for tool in ("gdb", "bc", "cc", "bash"):
        if not shutil.which(tool):
            raise SystemExit(f"peers: {tool} is needed (scripts/bench.sh --peers installs it)")

    lines = ["| Server | Versions | How it is driven |", "|---|---|---|"]
    for name in servers:
        doc = " ".join((ADAPTERS[name].__doc__ or "").split())
        lines.append(f"| {name} | {installed_versions(name) if name not in unusable else unusable[name]} | {doc} |")
    lines.append("")
    load = os.getloadavg()
    header = [f"Load average at the start: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} "
              f"({os.cpu_count()} CPUs); tmux: "
              + (subprocess.run(["tmux", "-V"], capture_output=True, text=True).stdout.strip()
                 if shutil.which("tmux") else "none"), ""]
    print("\n".join(header + lines), flush=True)

    everything: dict[str, list[dict[str, Any]]] = {}
    out_lines = header + lines
    with tempfile.TemporaryDirectory(prefix="quillo-bench-peers-") as tmp:
        work = Path(tmp)
        build_programs(work)
        (work / "home").mkdir()
        for task in tasks:
            results = []
            for name in servers:
                if name in unusable:
                    results.append({"server": name, "task": task, "na": unusable[name]})
                    continue
                t = time.perf_counter()
                results.append(run_worker(name, task, work, args.quick))
                print(f"peers: {task} on {name}: {time.perf_counter() - t:.1f} s", file=sys.stderr)
            everything[task] = results
            block = table(task, results)
            print("\n".join(block), flush=True)
            out_lines += block

    summary = []
    for key, label in (("gdb", "gdb"), ("gdb idle", "gdb after idle"), ("bc", "bc")):
        figures = []
        for r in everything.get(key.split()[0], []):
            v = r.get("numbers", {}).get(key)
            figures.append(f"{r['server']} {ms(v)}" if v is not None else f"{r['server']} n/a")
        if figures:
            summary.append(f"{label}: " + ", ".join(figures))
    if summary:
        line = "Per-line p50 ms — " + "; ".join(summary)
        load = os.getloadavg()
        line += f". Load average at the end: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}."
        print(line)
        out_lines.append(line)
    if args.markdown:
        Path(args.markdown).write_text("\n".join(out_lines) + "\n")
    if args.json:
        Path(args.json).write_text(json.dumps(everything, indent=1) + "\n")


if __name__ == "__main__":
    main()

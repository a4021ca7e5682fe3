"""Knowing when the program waits for input: the probe sees each way a real
program blocks on its terminal, never mistakes a busy one for a waiting one,
says so when it cannot see, and the calls end the moment the program waits,
with everything it printed before."""

from __future__ import annotations

import os
import re
import shutil
import sys
import textwrap
import time

import pytest

import quillo_agent.probe
import quillo_agent.terminal
from agent_probe import wait_for
from conftest import process_state
from quillo_agent import Session
from quillo_agent.profiles import SHELL_PS1
from quillo_agent.session import _Request

pytestmark = pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")

PY = sys.executable


def wait_for_state(s: Session, states: set[str]) -> str:
    """The first of `states` that `s.status()` reports (the program may still be starting)."""
    found: list[str] = []
    wait_for(lambda: found.append(s.status().state) or found[-1] in states, f"a state in {states}")
    return found[-1]


def needs(program: str) -> None:
    if shutil.which(program) is None:
        pytest.skip(f"{program} is not installed (scripts/setup.sh installs it)")


# (id, Session keywords, the calls a waiting thread may be in, a line, what it answers)
WAITERS = [
    ("gdb", dict(profile="gdb"), {"poll"}, "print 6 * 7", "$1 = 42"),
    ("python-input", dict(argv=[PY, "-c", "print('got', input())"], markers=[]),
     {"read"}, "hello", "got hello"),
    ("python-repl-basic", dict(profile="python", argv=[PY, "-q", "-i"]),
     {"pselect6", "read"}, "6 * 7", "42"),
    ("python-repl-default", dict(argv=[PY, "-q", "-i"], markers=[], unset_env=["PYTHON_BASIC_REPL"]),
     {"pselect6", "read", "poll"}, "6 * 7", "42"),
    ("bash", dict(profile="bash"), {"read"}, "echo $((6 * 7))", "42"),
    ("bash-readline", dict(argv=["bash", "--norc", "--noprofile", "-i"], markers=[]),
     {"pselect6"}, "echo $((6 * 7))", "42"),
    ("dash", dict(profile="sh"), {"read"}, "echo $((6 * 7))", "42"),
    ("node", dict(argv=["node", "-i"], markers=[]), {"epoll_pwait", "epoll_wait"}, "6 * 7", "42"),
    ("sqlite3", dict(argv=["sqlite3"], markers=[]), {"pselect6", "read"}, "select 6 * 7;", "42"),
    ("bc", dict(argv=["bc", "-q"], markers=[]), {"pselect6", "read"}, "6 * 7", "42"),
    ("cat", dict(argv=["cat"], markers=[]), {"read"}, "hello", "hello"),
]
FIXTURE_WAITS = [("read", {"read"}), ("fgets", {"read"}), ("poll", {"poll"}),
                 ("select", {"pselect6", "select"}),
                 ("epoll", {"epoll_wait", "epoll_pwait"}), ("thread", {"read"}), ("tty", {"read"})]


@pytest.mark.parametrize("name, kw, calls, line, answer", WAITERS, ids=[w[0] for w in WAITERS])
def test_real_programs_are_seen_waiting(name, kw, calls, line, answer, monkeypatch):
    program = (kw.get("argv") or {"gdb": ["gdb"], "bash": ["bash"], "sh": ["sh"]}[kw["profile"]])[0]
    needs(program)
    monkeypatch.delenv("DEBUGINFOD_URLS", raising=False)
    with Session(**kw) as s:
        first = s.start(timeout_ms=20_000)
        assert first.ready and first.waiting_for_input is True and not first.timed_out, first
        status = s.status()
        assert status.state == "waiting" and status.call in calls, status
        assert status.program == first.waiting_program and not status.busy
        reply = s.send(line, timeout_ms=20_000)
        assert answer in reply.text, reply
        if name != "python-input":  # that one exits after its line
            assert reply.ready and reply.waiting_for_input is True, reply


@pytest.mark.parametrize("method, calls", FIXTURE_WAITS, ids=[m for m, _ in FIXTURE_WAITS])
def test_each_way_of_waiting_on_the_terminal(method, calls, bins):
    # A program without a prompt that blocks in `method`: the call ends as
    # soon as it waits, and the reply says in which call.
    with Session([bins["termwait"], method], markers=[]) as s:
        first = s.start()
        assert first.ready and first.waiting_program == "termwait", first
        assert s.status().call in calls
        for word in ("one", "two"):
            reply = s.send(word)
            assert reply.ready and reply.text == f"got: {word}\n", reply


def test_gdb_inferior_waiting_without_a_prompt(bins, monkeypatch):
    monkeypatch.delenv("DEBUGINFOD_URLS", raising=False)
    needs("gdb")
    with Session(["gdb", "-q", bins["termwait"]], profile="gdb") as s:
        assert s.start().text.endswith("(gdb) ")
        run = s.send("run read", timeout_ms=20_000)
        assert run.ready and not run.timed_out and not run.text.endswith("(gdb) "), run
        assert run.waiting_program == "termwait", run
        reply = s.send("to the inferior")
        assert reply.ready and reply.text == "got: to the inferior\n", reply
        back = s.interrupt()
        assert back.ready and back.text.endswith("(gdb) ") and back.waiting_program == "gdb", back


BUSY = [
    ("spinning", [PY, "-c", "while True: pass"]),
    ("sleeping", ["sleep", "60"]),
    ("printing", [PY, "-c", "import sys\nwhile True: sys.stdout.write('x' * 100 + '\\n')"]),
    ("pausing-between-lines", [PY, "-u", "-c", "import time\nwhile True: print('tick'); time.sleep(0.02)"]),
]


@pytest.mark.parametrize("argv", [b[1] for b in BUSY], ids=[b[0] for b in BUSY])
def test_busy_programs_are_never_seen_waiting(argv):
    with Session(argv, markers=[]) as s:
        reply = s.read(timeout_ms=400)
        assert not reply.ready and reply.timed_out and reply.waiting_for_input is False, reply
        seen = set()
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline or len(seen) == 0:
            seen.add(s.status().state)
        assert "waiting" not in seen and "unknown" not in seen, seen


def test_a_job_stopped_for_reading_leaves_the_shell_as_the_one_waiting():
    with Session(profile="bash") as s:
        s.start()
        # bash may report "[1]+ Stopped  cat" before its next prompt, so the
        # pid is taken from the job line, not from the reply's last words.
        text = s.send("cat & echo $!").text
        found = re.search(r"^\[1\] (\d+)$", text, re.MULTILINE)
        assert found, text
        pid = int(found.group(1))
        wait_for(lambda: process_state(pid) == "T", "the background cat is stopped by SIGTTIN")
        status = s.status()
        assert status.state == "waiting" and status.program == "bash" and status.pid != pid
        assert "Stopped" in s.send("jobs").text
        s.send(f"kill -9 {pid}")


def test_a_shell_command_is_waited_for_however_it_pauses(tmp_path):
    # A prompt printed in the middle of the output, or at its end while the
    # command goes on, does not end the call: the probe sees the shell busy.
    with Session(profile="bash") as s:
        s.start()
        for show in ("echo", "printf"):
            reply = s.send(f"{show} '{SHELL_PS1}'; sleep 0.3; echo after")
            assert reply.ready and reply.text.endswith(f"after\n{SHELL_PS1}"), reply


def test_everything_printed_before_the_wait_is_in_one_reply(script):
    # 1 MB of numbered lines, then a wait for input without a prompt.
    child = script(
        """
        import sys
        for i in range(100_000):
            sys.stdout.write(f"{i:09d}\\n")
        sys.stdout.flush()
        input()
        """
    )
    with Session([child], markers=[]) as s:
        reply = s.start(timeout_ms=60_000)
        assert reply.ready and reply.cut_chars == 0, reply.text[-200:]
        lines = reply.text.split("\n")
        assert lines[:-1] == [f"{i:09d}" for i in range(100_000)] and lines[-1] == ""


def test_a_flood_then_interrupt_brings_the_prompt_back_in_one_call():
    with Session(profile="bash") as s:
        s.start()
        flood = s.send("yes", timeout_ms=1_500)
        assert flood.timed_out and flood.cut_chars > 0, flood.cut_chars
        assert len(flood.text) < 2_100_000  # head and tail within the default bound
        back = s.interrupt(timeout_ms=30_000)
        assert back.ready and back.text.endswith(SHELL_PS1), back.text[-200:]
        assert s.send("echo after").text == f"after\n{SHELL_PS1}"


@pytest.fixture
def denied(monkeypatch):
    """The probe may not read any thread's system call, as for a set-user-ID program."""
    real = quillo_agent.probe._read

    def read(path: str, size: int = 4096) -> bytes:
        if path.endswith("/syscall"):
            raise PermissionError(13, "Permission denied", path)
        return real(path, size)

    monkeypatch.setattr(quillo_agent.probe, "_read", read)


def test_a_program_that_cannot_be_inspected_is_unknown_and_waits_fall_back(denied, script):
    with Session(profile="bash") as s:
        assert s.start().ready
        status = s.status()
        assert status.state == "unknown" and "Permission denied" in status.reason, status
        # Marker waits as the core's: a prompt at the end, then quiet.
        reply = s.send("echo hi")
        assert reply.ready and reply.text == f"hi\n{SHELL_PS1}" and reply.waiting_for_input is None
        # A program printing a marker text and going on looks ready: the old way's blind spot.
        early = s.send(f"printf '{SHELL_PS1}'; sleep 0.5; echo late")
        assert early.ready and early.waiting_for_input is None and "late" not in early.text
    quiet = script("print('first', flush=True)\ninput()\n")
    with Session([quiet], markers=[]) as s:
        reply = s.read(timeout_ms=10_000)
        assert reply.ready and reply.text == "first\n" and reply.waiting_for_input is None, reply


def test_probe_off_decides_by_markers_and_quiet_only():
    with Session(profile="bash", probe=False) as s:
        assert s.start().ready
        assert s.status().state == "unknown"
        reply = s.send("echo hi")
        assert reply.ready and reply.text == f"hi\n{SHELL_PS1}" and reply.waiting_for_input is None
        # Without output there is nothing to decide by: the deadline.
        idle = s.read(timeout_ms=300)
        assert idle.timed_out and not idle.ready


def test_status_says_when_output_waits_unread(script):
    child = script(
        """
        import sys, time
        input()
        print("late output", flush=True)
        input()
        """
    )
    with Session([child], markers=[]) as s:
        assert s.start().ready
        assert s.status().output_waiting is False
        # The line is written without a call collecting the answer.
        write = _Request(lambda ctx: ctx.quillo.send_and_read_until_ready("go", timeout_ms=0))
        s._worker.submit(write).result()
        wait_for(lambda: s.status().output_waiting, "the status sees the unread line")
        assert s.read().text == "late output\n"
        assert s.status().output_waiting is False


def test_without_the_hosts_end_a_wait_still_ends_once_output_is_quiet(monkeypatch, bins):
    # A kernel that does not show a terminal's index in fdinfo: the session's
    # master descriptors cannot be found, so "all output taken" is judged by
    # a short quiet time after the program blocked.
    monkeypatch.setattr(quillo_agent.terminal.Terminal, "_find_masters", lambda self: [])
    with Session([bins["termwait"], "poll"], markers=[]) as s:
        assert s.start().ready
        reply = s.send("hello")
        assert reply.ready and reply.text == "got: hello\n" and reply.waiting_for_input, reply


@pytest.mark.parametrize(
    "method, state",
    [("read", "waiting"), ("epoll", "waiting"), ("poll", "unknown"), ("select", "unknown")],
)
def test_without_the_programs_memory_only_poll_and_select_waits_are_unknown(
    method, state, bins, monkeypatch
):
    # A policy that refuses /proc/<pid>/mem but not the system call: the sets
    # of poll and select are in the program's memory; read and epoll need none.
    def refused(self, address: int, size: int) -> bytes:
        raise quillo_agent.probe._Denied("its memory: Permission denied")

    monkeypatch.setattr(quillo_agent.probe._Process, "memory", refused)
    with Session([bins["termwait"], method], markers=[]) as s:
        s.read(timeout_ms=2_000)
        assert wait_for_state(s, {"waiting", "unknown"}) == state


def test_a_foreground_group_beyond_the_bound_is_unknown(monkeypatch):
    # A pipeline of three processes with the walk bounded at two: the probe
    # says it cannot tell rather than judge from part of the group.
    with Session(profile="bash") as s:
        s.start()
        s.send("sleep 30 | sleep 30 | sleep 30", timeout_ms=300)
        monkeypatch.setattr(quillo_agent.probe, "MAX_PROCESSES", 2)
        status = s.status()
        assert status.state == "unknown" and "more than 2 processes" in status.reason, status
        monkeypatch.undo()
        assert s.status().state == "blocked"
        assert s.interrupt().ready

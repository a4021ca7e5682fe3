"""quillo_agent sessions: usable from any thread and from asyncio, one call
at a time, waiting in parallel across sessions, honest reply status,
cancellation that never wedges, and nothing left behind when they end."""

from __future__ import annotations

import asyncio
import gc
import json
import os
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

from agent_probe import all_children, wait_for
from conftest import open_fds, process_state, python_env, thread_count
from quillo_agent import ProgramExited, Profile, Session, SessionBusy, SessionClosed
from quillo_agent.profiles import SHELL_PS1
from quillo_agent.session import MAX_PENDING_CALLS, _Request

# A Quillo released on a thread other than its session's cannot be torn down
# and is reported as unraisable: that must never happen here.
pytestmark = pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")


def agent_threads() -> list[str]:
    return [t.name for t in threading.enumerate() if t.name.startswith("quillo_agent")]


@pytest.fixture
def sh():
    s = Session(profile="sh")
    assert s.start().ready
    yield s
    s.close()


def test_one_session_from_three_threads_and_asyncio(sh):
    # Calls from anywhere run one at a time: each reply holds exactly its own
    # command's output and ends at the prompt.
    replies: dict[str, str] = {}

    def worker(name: str) -> None:
        for i in range(20):
            token = f"{name}-{i}"
            reply = sh.send(f"echo {token}")
            assert reply.ready, reply
            replies[token] = reply.text

    threads = [threading.Thread(target=worker, args=(f"t{n}",)) for n in range(3)]
    for t in threads:
        t.start()

    async def from_asyncio() -> None:
        got = await asyncio.gather(*(sh.asend(f"echo a-{i}") for i in range(20)))
        for i, reply in enumerate(got):
            replies[f"a-{i}"] = reply.text

    asyncio.run(from_asyncio())
    for t in threads:
        t.join()
    assert len(replies) == 80
    for token, text in replies.items():
        assert text == f"{token}\n{SHELL_PS1}", token


def test_sessions_wait_in_parallel(tmp_path):
    # Session a's command ends only once session b's command has run: if a's
    # wait held up b (or the interpreter lock), a would time out instead.
    flag = tmp_path / "flag"

    async def main() -> tuple:
        async with Session(profile="sh") as a, Session(profile="sh") as b:
            await asyncio.gather(a.astart(), b.astart())
            waiting = a.asend(
                f"while [ ! -e {flag} ]; do sleep 0.01; done; echo a-done", timeout_ms=20_000
            )
            release = b.asend(f"sleep 0.2; touch {flag}; echo b-done")
            return await asyncio.gather(waiting, release)

    a_reply, b_reply = asyncio.run(main())
    assert a_reply.ready and "a-done" in a_reply.text, a_reply
    assert b_reply.ready and "b-done" in b_reply.text, b_reply


@pytest.mark.parametrize(
    "argv, markers, action, expect",
    [
        (["sh", "-i"], None, ("send", "echo hi"), dict(ready=True, exited=False, timed_out=False)),
        (["sh", "-i"], None, ("send", "sleep 5", 300), dict(ready=False, exited=False, timed_out=True)),
        (["sh", "-i"], None, ("send", "exit 3"), dict(ready=False, exited=True, timed_out=False)),
        # A program that waits for input is ready at once, output or not.
        (["sh", "-i"], None, ("read", 5_000), dict(ready=True, exited=False, timed_out=False)),
        (["sh", "-i"], None, ("drain",), dict(ready=True, exited=False, timed_out=False)),
        (["cat"], [], ("send", "quiet"), dict(ready=True, exited=False, timed_out=False)),
        (["cat"], [], ("read", 5_000), dict(ready=True, exited=False, timed_out=False)),
        (["sleep", "30"], [], ("read", 200), dict(ready=False, exited=False, timed_out=True)),
    ],
    ids=["prompt", "deadline", "exit", "read-idle", "drain-idle", "quiet", "quiet-idle", "busy"],
)
def test_reply_status(argv, markers, action, expect):
    with Session(argv, profile="sh", markers=markers) as s:
        if markers is None:
            assert s.start().ready
        name, *args = action
        reply = getattr(s, name)(*args)
        if name == "send" and expect["exited"]:
            # The exit may be seen a moment after the wait ended.
            wait_for(lambda: not s.is_alive(), "the shell exits")
            reply = s.read(1_000)
            # Input for a program that is gone is refused, not silently lost.
            for late in (lambda: s.send("echo late"), s.interrupt):
                with pytest.raises(ProgramExited):
                    late()
        got = dict(ready=reply.ready, exited=reply.exited, timed_out=reply.timed_out)
        assert got == expect, reply
        if reply.timed_out:
            assert reply.elapsed_ms >= args[-1]


def test_an_error_raised_on_the_session_thread_holds_no_quillo(monkeypatch):
    reported: list[str] = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append(str(u.exc_value)))
    s = Session(profile="sh")
    s.start()
    s.send("exit")
    wait_for(lambda: not s.is_alive(), "the shell exits")
    with pytest.raises(ProgramExited) as caught:
        s.send("echo late")
    s.close()
    # The traceback came from the session's thread; dropping it here must not
    # release that thread's Quillo.
    del caught
    gc.collect()
    assert reported == []


def test_a_timed_out_program_is_interrupted_back_to_its_prompt(sh):
    assert sh.send("sleep 30", timeout_ms=300).timed_out
    reply = sh.interrupt()
    assert reply.ready and reply.text.endswith(SHELL_PS1), reply
    assert sh.send("echo after").text == f"after\n{SHELL_PS1}"


def test_multi_line_input_goes_line_by_line(sh):
    reply = sh.send("for i in 1 2 3\ndo\n  echo n$i\ndone\n")
    assert reply.ready and reply.unsent_lines == 0
    assert reply.text.endswith(f"n1\nn2\nn3\n{SHELL_PS1}")
    # A line that does not come back stops the rest from being sent.
    stuck = sh.send("sleep 30\necho never", timeout_ms=300)
    assert stuck.timed_out and stuck.unsent_lines == 1
    assert sh.interrupt().ready
    assert "never" not in sh.send("echo check").text


def test_cancelled_await_leaves_the_session_usable(sh, tmp_path):
    started = tmp_path / "started"
    queued = tmp_path / "queued"

    async def main() -> str:
        running = asyncio.create_task(sh.asend(f"touch {started}; sleep 0.5; echo late"))
        waiting = asyncio.create_task(sh.asend(f"touch {queued}"))
        while not started.exists():
            await asyncio.sleep(0.01)
        running.cancel()  # stops at its next slice; the shell's command goes on
        waiting.cancel()  # had not started: never runs
        for task in (running, waiting):
            with pytest.raises(asyncio.CancelledError):
                await task
        return (await sh.asend("echo next", timeout_ms=10_000)).text

    # What the cancelled command went on to print comes with the next reply.
    assert asyncio.run(main()) == f"late\n{SHELL_PS1}next\n{SHELL_PS1}"
    assert not queued.exists()
    assert "late" in sh.history()


def test_cancelled_await_then_close_leaves_nothing(tmp_path):
    before = set(agent_threads())
    s = Session(profile="sh")
    s.start()
    started = tmp_path / "started"

    async def main() -> None:
        task = asyncio.create_task(s.asend(f"touch {started}; sleep 30"))
        while not started.exists():
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        s.interrupt(timeout_ms=0)  # the sleep ends, so the running call does
        await s.aclose()

    asyncio.run(main())
    assert s.closed
    assert set(agent_threads()) == before
    with pytest.raises(SessionClosed):
        s.send("echo more")


def test_close_cancels_queued_calls(sh, tmp_path):
    started = tmp_path / "started"
    outcomes: list[str] = []

    def call(cmd: str) -> None:
        try:
            sh.send(cmd)
            outcomes.append("ran")
        except SessionClosed:
            outcomes.append("closed")

    first = threading.Thread(target=call, args=(f"touch {started}; sleep 30",))
    first.start()
    wait_for(started.exists, "the first call runs")
    rest = [threading.Thread(target=call, args=("echo queued",)) for _ in range(3)]
    for t in rest:
        t.start()
    wait_for(lambda: len(sh._worker.queue) == 3, "three calls are queued")
    sh.close()
    for t in [first, *rest]:
        t.join()
    assert sorted(outcomes) == ["closed", "closed", "closed", "ran"]


def test_too_many_queued_calls_is_an_error(sh, tmp_path):
    started = tmp_path / "started"
    first = sh._worker.submit(
        _Request(lambda ctx: ctx.quillo.send_and_read_until_ready(f"touch {started}; sleep 0.5"))
    )
    wait_for(started.exists, "the first call runs")
    futures = [sh._worker.submit(_Request(lambda ctx: ctx.quillo.is_alive()))
               for _ in range(MAX_PENDING_CALLS)]
    with pytest.raises(SessionBusy):
        sh.send("echo one too many")
    assert all(f.result(timeout=30) is not None for f in [first, *futures])
    assert sh.send("echo fine").ready


def test_close_gc_and_context_end_everything(tmp_path):
    fds, threads = open_fds(), thread_count()
    for ending in ("close", "with", "gc"):
        s = Session(profile="sh")
        pid = int(s.start() and s.send("echo $$").text.split()[0])
        directory = Path(s.launcher.directory)
        if ending == "close":
            s.close()
        elif ending == "with":
            with s:
                pass
        else:
            del s
            gc.collect()
        wait_for(lambda: process_state(pid) is None, f"{ending}: the child is gone")
        assert not directory.exists(), ending
    wait_for(lambda: thread_count() == threads, "threads back to the start")
    assert open_fds() == fds
    assert all_children() == set()


def test_interpreter_exit_ends_every_session(tmp_path):
    # The host never closes its sessions; its exit must still end them.
    program = textwrap.dedent(
        """
        import json, sys
        from quillo_agent import Session
        sessions = [Session(profile="sh") for _ in range(3)]
        pids = [int((s.start(), s.send("echo $$"))[1].text.split()[0]) for s in sessions]
        print(json.dumps({"pids": pids, "dirs": [s.launcher.directory for s in sessions]}))
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", program],
        env=python_env(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    got = json.loads(done.stdout)
    for pid in got["pids"]:
        wait_for(lambda: process_state(pid) in (None, "Z"), f"child {pid} ends")
    assert not any(os.path.exists(d) for d in got["dirs"])


@pytest.mark.parametrize(
    "profile, lines, expect",
    [
        ("gdb", ["show pagination", "show confirm", "show width"], ["is off", "is off", "unlimited"]),
        ("gdb", ["show environment DEBUGINFOD_URLS"], ['"DEBUGINFOD_URLS" not defined']),
        ("python", ["import os; print(os.environ['PYTHON_BASIC_REPL'])"], ["1\n>>> "]),
        # A block sent as one piece runs, with or without its final line feed.
        ("python", ["def f(x):\n    return x * 2\n", "f(21)"], [">>> ", "42\n>>> "]),
        ("python", ["for i in range(2):\n    print(i)", "if True:"], ["0\n1\n>>> ", "... "]),
        ("sh", ["if true\nthen echo yes\nfi"], [f"yes\n{SHELL_PS1}"]),
        ("bash", ["echo $BASH_VERSION | cut -c1", "echo 'multi\nline'"], ["5\n", "multi\nline\n"]),
    ],
    ids=["gdb-settings", "gdb-debuginfod", "python-env", "python-block", "python-block-no-lf", "sh",
         "bash"],
)
def test_profiles(profile, lines, expect, monkeypatch):
    monkeypatch.setenv("DEBUGINFOD_URLS", "https://debuginfod.invalid")
    with Session(profile=profile) as s:
        assert s.start().ready
        for line, want in zip(lines, expect):
            reply = s.send(line)
            assert reply.ready and want in reply.text, (line, reply)


def test_pdb_profile(tmp_path):
    script = tmp_path / "target.py"
    script.write_text("x = 40\ny = x + 2\nprint('y is', y)\n")
    with Session([sys.executable, "-m", "pdb", str(script)], profile="pdb") as s:
        assert s.start().text.endswith("(Pdb) ")
        s.send("next")
        assert s.send("p x").text == "40\n(Pdb) "


def test_a_users_own_profile(tmp_path):
    mine = Profile(
        name="mine",
        argv=("sh", "-i"),
        markers=("mine> ",),
        env={"PS1": "mine> ", "GREETING": "hi"},
        startup=("echo started $GREETING",),
    )
    with Session(profile=mine) as s:
        # The start-up line's reply is in the history, not in the start reply.
        assert s.start().text == "mine> "
        assert "started hi\nmine> " in s.history()
        assert s.send("echo ok").text == "ok\nmine> "

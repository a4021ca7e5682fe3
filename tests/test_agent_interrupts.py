"""Nothing waits behind a call nobody wants: an interrupt, a cancelled or
abandoned call and a close reach a session within one slice of a running
call, and no output is lost between the replies."""

from __future__ import annotations

import asyncio
import signal
import threading
import time

import pytest

from agent_probe import wait_for
from quillo_agent import Session, SessionManager
from quillo_agent.profiles import SHELL_PS1

pytestmark = pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")

# Each running command here would run for this long: anything that ends well
# before it was ended by what the test did, not by the command.
LONG_S = 20


@pytest.fixture
def bash():
    s = Session(profile="bash")
    assert s.start().ready
    yield s
    s.close()


def test_cancel_then_interrupt_does_not_wait_for_the_cancelled_call(bash, tmp_path):
    started = tmp_path / "started"

    async def main() -> tuple[float, object]:
        task = asyncio.create_task(
            bash.asend(f"echo begun; touch {started}; sleep {LONG_S}", timeout_ms=50_000)
        )
        while not started.exists():
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        t0 = time.monotonic()
        reply = await bash.ainterrupt()
        return time.monotonic() - t0, reply

    took, reply = asyncio.run(main())
    assert reply.ready and reply.text.endswith(SHELL_PS1), reply
    assert took < LONG_S / 2, took
    # The cancelled call's output is kept.
    assert "begun" in bash.history()


def test_interrupt_ends_another_callers_running_call(bash, tmp_path):
    started = tmp_path / "started"
    replies = {}

    def spin() -> None:
        command = f"for i in 1 2 3; do echo n$i; done; touch {started}; while :; do :; done"
        replies["spin"] = bash.send(command, timeout_ms=40_000)

    caller = threading.Thread(target=spin)
    caller.start()
    wait_for(started.exists, "the spinning command runs")
    t0 = time.monotonic()
    replies["interrupt"] = bash.interrupt()
    took = time.monotonic() - t0
    caller.join(timeout=30)
    spun, back = replies["spin"], replies["interrupt"]
    assert spun.interrupted and not spun.ready and not spun.timed_out, spun
    assert back.ready and not back.interrupted and back.text.endswith(SHELL_PS1), back
    assert took < LONG_S / 2, took
    # Every byte is in one reply or the other, in order, once.
    both = spun.text + back.text
    assert both.count("n1\nn2\nn3\n") == 1 and both.index("n3") < both.index(SHELL_PS1)
    assert bash.send("echo after").text == f"after\n{SHELL_PS1}"


def test_a_blocking_call_abandoned_by_keyboard_interrupt_frees_the_session(bash, tmp_path):
    started = tmp_path / "started"
    main = threading.main_thread().ident
    assert threading.current_thread().ident == main

    def press_ctrl_c() -> None:
        wait_for(started.exists, "the long command runs")
        signal.pthread_kill(main, signal.SIGINT)

    presser = threading.Thread(target=press_ctrl_c)
    presser.start()
    with pytest.raises(KeyboardInterrupt):
        bash.send(f"touch {started}; sleep {LONG_S}", timeout_ms=50_000)
    presser.join()
    t0 = time.monotonic()
    wait_for(lambda: not bash.status().busy, "the abandoned call ends")
    reply = bash.interrupt()
    assert reply.ready and reply.text.endswith(SHELL_PS1), reply
    assert time.monotonic() - t0 < LONG_S / 2


@pytest.mark.parametrize("how", ["session", "manager"])
def test_close_during_a_long_call_returns_at_once(how, tmp_path):
    started = tmp_path / "started"
    manager = SessionManager()
    _, s = manager.open(profile="bash")
    assert s.start().ready
    replies = []
    caller = threading.Thread(
        target=lambda: replies.append(s.send(f"touch {started}; sleep 50", timeout_ms=50_000))
    )
    caller.start()
    wait_for(started.exists, "the long command runs")
    t0 = time.monotonic()
    s.close() if how == "session" else manager.close_all()
    took = time.monotonic() - t0
    caller.join(timeout=30)
    assert took < 10, took  # the core's close, not the call's 50 s
    assert replies and replies[0].interrupted and not replies[0].timed_out, replies

"""close, reset, is_alive, teardown, and poisoned locks."""

import os
import signal
import sys
import time

import pytest

import quillo
from conftest import (
    children_of,
    new_reader,
    on_the_wire,
    open_fds,
    open_session,
    read_available_until,
    reader_threads,
    thread_count,
    wait_queued,
    wait_until,
)


def new_children(before):
    return set(children_of(os.getpid())) - before


def test_close_sends_sighup_first(script, tmp_path):
    log = tmp_path / "signals"
    child = script(
        f"""
        import signal, sys, time
        def on(sig, frame):
            open({str(log)!r}, "a").write(signal.Signals(sig).name + "\\n")
            sys.exit(0)
        for s in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
            signal.signal(s, on)
        sys.stdout.write("ready\\n")  # one write: print() would send the newline apart
        sys.stdout.flush()
        time.sleep(60)
        """
    )
    q = quillo.Quillo(child, False)
    assert q.read_until_ready(quiet_ms=50) == "ready\n"
    assert q.close() is None
    assert log.read_text() == "SIGHUP\n"
    assert q.is_alive() is False


def test_close_twice_and_what_still_works(script):
    q, reader = open_session(script("print('queued')\nimport time\ntime.sleep(60)"), True)
    wait_queued(reader, on_the_wire("queued\n"))
    threads = thread_count()
    q.close()
    assert thread_count() == threads - 1  # reader joined
    # Later closes return at once: no signal, no pause, nothing to join. One
    # pause of the escalation would take 100 ms; the quickest of a few calls
    # shows there was none even when the machine stalls one of them.
    took = []
    for _ in range(5):
        start = time.monotonic()
        assert q.close() is None
        took.append(time.monotonic() - start)
    assert min(took) < 0.05, took
    assert q.read_available() == "queued\n"
    assert q.read_available() == ""
    assert q.get_history() == "queued\n"
    assert q.is_interactive() is True
    assert q.get_initial_command().startswith("/")


def test_stubborn_child_is_killed_by_close(bins):
    before = set(children_of(os.getpid()))
    q = quillo.Quillo(bins["stubborn"], False)
    assert q.read_until_ready(quiet_ms=50) == "stubborn ready\n"
    start = time.monotonic()
    q.close()
    took = time.monotonic() - start
    # Four unanswered pauses of 100 ms, then SIGKILL; the upper bound only
    # guards against a hang, with room for a loaded machine.
    assert 0.35 < took < 5
    assert new_children(before) == set()


def test_is_alive_after_child_exits_by_itself(script):
    q = quillo.Quillo(script("pass"), False)
    assert wait_until(lambda: not q.is_alive())
    assert [q.is_alive() for _ in range(3)] == [False, False, False]
    q.close()


def test_grandchild_holding_terminal_does_not_hang_close(script, tmp_path):
    pidfile = tmp_path / "grandchild"
    child = script(
        f"""
        setsid sh -c 'echo $$ > {pidfile}; exec sleep 60' &
        echo started
        sleep 60
        """,
        lang="sh",
    )
    q = quillo.Quillo(child, False)
    try:
        assert "started" in q.read_until_ready(quiet_ms=100)
        assert wait_until(pidfile.exists)
        start = time.monotonic()
        q.close()
        # The grandchild keeps the terminal open for a minute: close must not
        # wait for it. Its own bound is the 200 ms grace after the child has
        # gone; this one leaves room for a loaded machine.
        assert time.monotonic() - start < 5
        # The reader was stopped: disconnected, so a wait ends at once.
        start = time.monotonic()
        assert q.read_until_ready(timeout_ms=30_000) == ""
        assert time.monotonic() - start < 15
    finally:
        if pidfile.exists():
            os.kill(int(pidfile.read_text()), signal.SIGKILL)


def test_reset_replaces_child_keeps_markers_clears_history(script):
    child = script(
        """
        import os, sys
        print("pid", os.getpid(), flush=True)
        for line in sys.stdin:
            print("got", line.strip(), end="\\n> ", flush=True)
        """
    )
    before = set(children_of(os.getpid()))
    q = quillo.Quillo(child, True)
    q.set_ready_markers(["> "])
    first = read_available_until(q, "\n")
    (old,) = new_children(before)
    assert first.strip() == f"pid {old}"
    fds = open_fds()
    assert q.reset() is None
    (new,) = new_children(before)
    assert new != old  # the old child was ended and reaped
    assert first not in q.get_history()
    assert len(open_fds()) == len(fds)  # the old record's descriptors are gone
    assert q.send_and_read_until_ready("hi", settle_ms=0, timeout_ms=5000).endswith("got hi\n> ")
    assert q.get_initial_command() == child and q.is_interactive() is True
    q.close()
    assert q.reset() is None  # reset after close starts a new child
    assert q.is_alive()
    q.close()


def test_reset_drain_records_early_output_in_new_history(script):
    child = script("print('banner', flush=True)\nimport time\ntime.sleep(60)")
    q, reader = open_session(child, False)
    wait_queued(reader, on_the_wire("banner\n"))  # the old child's banner, never read
    before = reader_threads()
    q.reset()
    wait_queued(new_reader(before), on_the_wire("banner\n"))  # the new child's
    # Whatever the drain took is in the history and not returned again; the
    # old child's banner is in neither.
    history = q.get_history()
    rest = q.read_available()
    assert history + rest == "banner\n"
    q.close()


def test_reset_whose_program_disappeared(tmp_path, script):
    path = script("import sys, time\nsys.stdout.write('old output\\n')\nsys.stdout.flush()\ntime.sleep(60)")
    q = quillo.Quillo(path, False)
    assert q.read_until_ready(quiet_ms=50) == "old output\n"
    os.unlink(path)
    with pytest.raises(Exception) as info:
        q.reset()
    assert type(info.value) is Exception
    assert str(info.value) == f"Failed to spawn process with command '{path}': ENOENT: No such file or directory"
    assert q.is_alive() is False
    assert q.get_history() == "old output\n"


def test_teardown_on_delete_leaves_nothing_behind():
    before = set(children_of(os.getpid()))
    fds = open_fds()
    threads = thread_count()
    sessions = [quillo.Quillo("cat", True) for _ in range(5)]
    assert len(new_children(before)) == 5
    del sessions
    assert new_children(before) == set()
    assert open_fds() == fds
    assert thread_count() == threads


POISONED = [
    # (field, call, exception type name, message)
    ("history", lambda q: q.get_history(), "RuntimeError", "history lock poisoned"),
    ("rx", lambda q: q.read_available(), "RuntimeError", "rx lock poisoned"),
    ("rx", lambda q: q.read_until_ready(timeout_ms=100), "PanicException", "rx lock poisoned"),
    ("ready_markers", lambda q: q.set_ready_markers(["x"]), "RuntimeError", "ready_markers lock poisoned"),
    ("ready_markers", lambda q: q.read_until_ready(timeout_ms=100), "PanicException", "ready_markers lock poisoned"),
    ("ready_markers", lambda q: q.reset(), "PanicException", "ready_markers lock poisoned"),
    ("writer", lambda q: q.send_ctrl_c(), "RuntimeError", "writer lock poisoned"),
]


@pytest.mark.parametrize("field,call,kind,message", POISONED)
def test_poisoned_lock(hooks, field, call, kind, message):
    q = quillo.Quillo("cat", True)
    try:
        hooks.poison(q, field)
        for _ in range(2):  # stays poisoned
            with pytest.raises(BaseException) as info:
                call(q)
            assert type(info.value).__name__ == kind
            assert str(info.value) == message
        assert q.is_alive()  # nothing was closed on the way
    finally:
        q.close()


def test_poisoned_history_loses_the_read_that_hit_it(hooks, script):
    q, reader = open_session(script("print('data', flush=True)\nimport time\ntime.sleep(60)"), False)
    try:
        wait_queued(reader, on_the_wire("data\n"))
        hooks.poison(q, "history")
        with pytest.raises(BaseException) as info:
            q.read_until_ready(quiet_ms=50)
        assert type(info.value).__name__ == "PanicException"
        assert q.read_available() == ""  # consumed, neither returned nor recorded
    finally:
        q.close()


def test_poisoned_reader_handle_close_still_ends_child(hooks):
    before = set(children_of(os.getpid()))
    q = quillo.Quillo("cat", True)
    hooks.poison(q, "reader_handle")
    q.close()
    assert q.is_alive() is False
    assert new_children(before) == set()


def test_master_closed_behind_our_back_is_an_internal_failure(hooks):
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((type(u.exc_value).__name__, str(u.exc_value)))
    try:
        q = quillo.Quillo("cat", True)
        os.close(hooks.session_fds(q)["master"])
        del q
    finally:
        sys.unraisablehook = old
    assert seen == [("PanicException", "Closing an invalid file descriptor!")]

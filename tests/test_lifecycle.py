"""close, reset, is_alive, teardown, and poisoned locks."""

import os
import signal
import sys
import time

import pytest

import quillo
from conftest import children_of, open_fds, thread_count


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
        print("ready", flush=True)
        time.sleep(60)
        """
    )
    q = quillo.Quillo(child, False)
    assert q.read_until_ready(quiet_ms=50) == "ready\n"
    assert q.close() is None
    assert log.read_text() == "SIGHUP\n"
    assert q.is_alive() is False


def test_close_twice_and_what_still_works(script):
    q = quillo.Quillo(script("print('queued')\nimport time\ntime.sleep(60)"), True)
    time.sleep(0.3)
    threads = thread_count()
    q.close()
    assert thread_count() == threads - 1  # reader joined
    start = time.monotonic()
    assert q.close() is None
    assert time.monotonic() - start < 0.05
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
    assert 0.35 < took < 3  # four unanswered pauses, then SIGKILL
    assert new_children(before) == set()


def test_is_alive_after_child_exits_by_itself(script):
    q = quillo.Quillo(script("pass"), False)
    deadline = time.monotonic() + 10
    while q.is_alive() and time.monotonic() < deadline:
        time.sleep(0.02)
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
        deadline = time.monotonic() + 5
        while not pidfile.exists() and time.monotonic() < deadline:
            time.sleep(0.02)
        start = time.monotonic()
        q.close()
        assert time.monotonic() - start < 2.0
        assert q.read_until_ready(timeout_ms=5000) == ""  # reader stopped: disconnected
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
    time.sleep(0.3)
    first = q.read_available()
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
    q = quillo.Quillo(child, False)
    time.sleep(0.3)
    q.reset()
    time.sleep(0.3)
    # Whatever the drain took is in the history and not returned again.
    history = q.get_history()
    rest = q.read_available()
    assert history + rest == "banner\n"
    q.close()


def test_reset_whose_program_disappeared(tmp_path, script):
    path = script("print('old output', flush=True)\nimport time\ntime.sleep(60)")
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
    q = quillo.Quillo(script("print('data', flush=True)\nimport time\ntime.sleep(60)"), False)
    try:
        time.sleep(0.3)
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

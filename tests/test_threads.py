"""Thread affinity, the interpreter lock during waits, and deallocation off the owner thread."""

import gc
import os
import sys
import threading
import time

import pytest

import quillo
from conftest import children_of, process_state, wait_until


def run_in_thread(fn):
    result = {}

    def target():
        try:
            result["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - the point is to see what escapes
            # Without its traceback: the frames in it hold `result` and `fn`
            # (and so the session), a cycle the collector might break on any
            # thread, which would drop the session on a thread it does not own.
            result["error"] = e.with_traceback(None)

    t = threading.Thread(target=target)
    t.start()
    t.join(30)
    assert not t.is_alive()
    return result


FOREIGN_CALLS = [
    ("read_available", ()),
    ("send_ctrl_c", ()),
    ("close", ()),
    ("reset", ()),
    ("get_history", ()),
    ("is_alive", ()),
    ("get_initial_command", ()),
    ("set_ready_markers", (["x"],)),
    ("read_until_ready", (0,)),
    ("send_and_read_until_ready", ("ls",)),
]


@pytest.mark.parametrize("method,args", FOREIGN_CALLS)
def test_foreign_thread_call_raises_panic_not_exception(method, args):
    q = quillo.Quillo("cat", True)
    try:

        def call():
            try:
                getattr(q, method)(*args)
            except Exception as e:  # must not catch it
                return ("caught by except Exception", e)

        result = run_in_thread(call)
        error = result.get("error")
        assert error is not None, result
        assert type(error).__name__ == "PanicException"
        assert type(error).__mro__[1] is BaseException
        assert "quillo::Quillo is unsendable, but sent to another thread" in str(error)
        # Nothing happened to the session.
        assert q.is_alive()
    finally:
        q.close()


def test_argument_count_errors_come_before_the_thread_check():
    q = quillo.Quillo("cat", True)
    try:
        result = run_in_thread(lambda: q.read_available(1, 2))
        assert type(result["error"]) is TypeError
    finally:
        q.close()


def test_foreign_call_refused_while_owner_waits_and_other_threads_run(script, tmp_path):
    # The child says when the owner's input has reached it (so the owner is in
    # its call), and answers only once the other thread has done its part: the
    # owner's wait can only return with the answer if that thread ran meanwhile.
    got_input, go = tmp_path / "got-input", tmp_path / "go"
    child = script(
        f"""
        import os, sys, time
        sys.stdin.readline()
        open({str(got_input)!r}, "w").close()
        deadline = time.monotonic() + 60
        while not os.path.exists({str(go)!r}) and time.monotonic() < deadline:
            time.sleep(0.005)
        sys.stdout.write("answer\\n")
        sys.stdout.flush()
        time.sleep(60)
        """
    )
    q = quillo.Quillo(child, True, [])
    ticks = []
    outcome = {}

    def other():
        if not wait_until(got_input.exists):
            return
        # The owner is blocked in its wait with the interpreter lock released.
        for _ in range(5):
            ticks.append(time.monotonic())
            time.sleep(0.01)
        try:
            q.send_ctrl_c()
        except BaseException as e:  # noqa: BLE001
            outcome["error"] = e
        go.touch()

    t = threading.Thread(target=other)
    t.start()
    start = time.monotonic()
    out = q.send_and_read_until_ready("go", timeout_ms=60_000)  # quiet wait: ends after the answer
    end = time.monotonic()
    t.join(30)
    assert out == "answer\n"
    assert len(ticks) == 5 and all(start < tick < end for tick in ticks)
    assert type(outcome["error"]).__name__ == "PanicException"
    q.close()


def test_drop_on_foreign_thread_reports_unraisable_and_leaves_child_running(script, tmp_path):
    beats = tmp_path / "beats"
    # The child counts its own heartbeats in a file, ten a second and more.
    heart = script(
        f"""
        import os, time
        n = 0
        while True:
            n += 1
            with open({str(beats)!r} + ".tmp", "w") as f:
                f.write(str(n))
            os.replace({str(beats)!r} + ".tmp", {str(beats)!r})
            time.sleep(0.01)
        """
    )

    def count():
        try:
            return int(beats.read_text())
        except (FileNotFoundError, ValueError):
            return 0

    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((u.exc_type, str(u.exc_value)))
    try:
        before = set(children_of(os.getpid()))
        holder = [quillo.Quillo(heart, True)]
        (child,) = set(children_of(os.getpid())) - before

        def drop():
            holder.clear()
            gc.collect()

        run_in_thread(drop)
    finally:
        sys.unraisablehook = old_hook
    assert (RuntimeError, "quillo::Quillo is unsendable, but is being dropped on another thread") in seen
    # The child keeps running: it was deliberately not torn down. Twenty more
    # heartbeats after the drop show it working on, where a hung-up child
    # would have stopped at once.
    dropped_at = count()
    assert wait_until(lambda: count() >= dropped_at + 20), (dropped_at, count())
    assert process_state(child) not in (None, "Z")
    os.kill(child, 9)
    os.waitpid(child, 0)


def test_drop_on_owner_thread_ends_child_and_joins_reader():
    before_kids = set(children_of(os.getpid()))
    before_threads = threading.active_count(), len(os.listdir("/proc/self/task"))
    q = quillo.Quillo("cat", True)
    assert len(set(children_of(os.getpid())) - before_kids) == 1
    del q
    assert set(children_of(os.getpid())) == before_kids
    assert len(os.listdir("/proc/self/task")) == before_threads[1]


def test_reader_thread_is_named_and_signals_blocked():
    q = quillo.Quillo("cat", True)
    try:
        names = {}
        for tid in os.listdir("/proc/self/task"):
            try:
                names[tid] = open(f"/proc/self/task/{tid}/comm").read().strip()
                status = open(f"/proc/self/task/{tid}/status").read()
            except FileNotFoundError:
                continue
            if names[tid] == "quillo_reader":
                blocked = int(status.split("SigBlk:")[1].split()[0], 16)
                assert blocked & (1 << (2 - 1)) and blocked & (1 << (14 - 1)) and blocked & (1 << (17 - 1))
        assert "quillo_reader" in names.values()
    finally:
        q.close()

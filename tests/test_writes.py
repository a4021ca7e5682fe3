"""Input: exact bytes, Ctrl-C, error texts, and writes that cannot complete."""

import fcntl
import os
import struct
import termios
import threading
import time

import pytest

import quillo
from conftest import HANG_GUARD, children_of, wait_until


@pytest.fixture
def hexecho(bins):
    q = quillo.Quillo(bins["hexecho"], True)
    assert q.read_until_ready(timeout_ms=30_000, settle_ms=0) == "(gdb) "
    yield q
    q.close()


SENT = [
    ("ls", "6c 73 0a"),
    ("", "0a"),
    ("café", "63 61 66 c3 a9 0a"),
    ("a\tb ", "61 09 62 20 0a"),
]


@pytest.mark.parametrize("text,hexed", SENT)
def test_send_writes_utf8_bytes_and_one_line_feed(hexecho, text, hexed):
    assert hexecho.send_and_read_until_ready(text, settle_ms=0) == hexed + "\n(gdb) "
    # Only output is recorded, never the input.
    assert hexecho.get_history().endswith(hexed + "\n(gdb) ")


def test_input_ending_in_line_feed_gets_one_more(hexecho):
    # Two lines, two answers; the second may come with the first or after it.
    out = hexecho.send_and_read_until_ready("ab\n", settle_ms=100)
    deadline = time.monotonic() + HANG_GUARD
    while out.count("(gdb) ") < 2 and time.monotonic() < deadline:
        out += hexecho.read_until_ready(settle_ms=0, timeout_ms=2000)
    assert out == "61 62 0a\n(gdb) 0a\n(gdb) "


def test_send_ctrl_c_interrupts_and_leaves_history(script, tmp_path):
    sleeping = tmp_path / "sleeping"
    child = script(
        f"""
        import time
        print("(gdb) ", end="", flush=True)
        input()
        try:
            open({str(sleeping)!r}, "w").close()  # from here on Ctrl-C is caught
            time.sleep(60)
        except KeyboardInterrupt:
            print("interrupted")
        print("(gdb) ", end="", flush=True)
        time.sleep(60)
        """
    )
    q = quillo.Quillo(child, True)
    try:
        assert q.read_until_ready(settle_ms=0) == "(gdb) "
        assert q.send_and_read_until_ready("sleep", timeout_ms=300) == ""
        assert wait_until(sleeping.exists)
        history = q.get_history()
        assert q.send_ctrl_c() is None
        assert q.get_history() == history
        assert q.read_until_ready(settle_ms=0, timeout_ms=30_000) == "interrupted\n(gdb) "
    finally:
        q.close()


def test_write_errors_carry_prefix_and_os_error(hooks):
    q = quillo.Quillo("cat", True)
    try:
        writer = hooks.session_fds(q)["writer"]
        # A read-only descriptor in the writer's place: every write fails with EBADF.
        ro = os.open("/dev/null", os.O_RDONLY)
        os.dup2(ro, writer)
        os.close(ro)
        with pytest.raises(RuntimeError) as info:
            q.send_ctrl_c()
        assert str(info.value) == "flush failed: Bad file descriptor (os error 9)"
        with pytest.raises(RuntimeError) as info:
            q.send_and_read_until_ready("x" * 9000)
        assert str(info.value) == "write failed: Bad file descriptor (os error 9)"
    finally:
        q.close()


def test_poisoned_writer_lock(hooks):
    q = quillo.Quillo("cat", True)
    try:
        hooks.poison(q, "writer")
        for call in (q.send_ctrl_c, lambda: q.send_and_read_until_ready("x")):
            with pytest.raises(RuntimeError) as info:
                call()
            assert str(info.value) == "writer lock poisoned"
    finally:
        q.close()


def test_blocked_write_lets_threads_run_and_fails_once_child_dies(script):
    # A child that never reads: the terminal's input queue fills and the write waits.
    before = set(children_of(os.getpid()))
    q = quillo.Quillo(script("import time\ntime.sleep(60)"), True)
    (child,) = set(children_of(os.getpid())) - before
    ticks = []

    def queued_for_child():
        # Bytes waiting in the child's terminal input, looked at through a
        # descriptor of our own that is closed again at once (the write can
        # fail only once nobody holds the terminal's child side).
        fd = os.open(f"/proc/{child}/fd/0", os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]
        finally:
            os.close(fd)

    def other():
        # Once input has reached the child's queue the write has begun, and
        # it cannot finish: 400 KB do not fit and the child never reads.
        if wait_until(lambda: queued_for_child() > 0):
            for _ in range(10):
                ticks.append(time.monotonic())
                time.sleep(0.02)
        os.kill(child, 9)

    t = threading.Thread(target=other)
    t.start()
    with pytest.raises(RuntimeError) as info:
        q.send_and_read_until_ready("x\n" * 200_000, timeout_ms=100)
    t.join(10)
    assert len(ticks) == 10  # other threads ran while the write waited
    assert str(info.value).endswith("Input/output error (os error 5)")
    q.close()

"""read_available and the history: caps never lose bytes, raw history, cleaned results."""

import time

import pytest

import quillo
from conftest import on_the_wire, open_session, wait_queued, wait_until


def drain(q, cap, timeout=20.0):
    """Everything the child printed, taken `cap` bytes at a time."""
    out = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        piece = q.read_available(cap)
        if not piece and q.is_alive():
            time.sleep(0.01)
            continue
        if not piece:
            # The child is gone; bytes may still sit in the terminal. A wait
            # returns empty only once the reader has hit the end and all is taken.
            piece = q.read_until_ready(timeout_ms=5000, max_output_bytes=cap)
            if not piece:
                break
        out.append(piece)
    return "".join(out)


@pytest.mark.parametrize("cap", [1, 7, 100, 4095, 8193, 65536])
def test_small_caps_deliver_every_byte_once_in_order(script, cap):
    # Digits only: every raw byte is one character, so text length == bytes.
    child = script(
        """
        import sys
        for i in range(3000):
            sys.stdout.write("%06d" % i)
        sys.stdout.flush()
        """
    )
    q = quillo.Quillo(child, False)
    got = drain(q, cap)
    q.close()
    assert got == "".join("%06d" % i for i in range(3000))
    assert q.get_history() == got


def test_max_bytes_zero_and_empty_queue(script):
    q, reader = open_session(script("print('hello')\nimport time\ntime.sleep(30)"), False)
    try:
        wait_queued(reader, on_the_wire("hello\n"))
        assert q.read_available(0) == ""
        assert q.get_history() == ""
        assert q.read_available() == "hello\n"
        assert q.read_available() == ""  # nothing queued: empty at once
        assert q.get_history() == "hello\n"
    finally:
        q.close()


def test_cap_cuts_inside_escape_and_character_without_loss(script):
    child = script(
        r"""
        import sys, time
        sys.stdout.buffer.write(b"\x1b[31mred caf\xc3\xa9")
        sys.stdout.flush()
        time.sleep(30)
        """
    )
    q, reader = open_session(child, False)
    try:
        wait_queued(reader, len(b"\x1b[31mred caf\xc3\xa9"))
        # The first read ends inside the escape sequence; the second read starts
        # with its tail, which on its own is plain text.
        assert q.read_available(3) == ""
        assert q.read_available(10) == "1mred caf\ufffd"
        assert q.read_available(10) == "\ufffd"
        # The history holds the raw bytes in order and cleans them as one piece.
        assert q.get_history() == "red café"
    finally:
        q.close()


def test_queued_output_survives_child_exit_then_empty(script):
    q, reader = open_session(script("print('bye')"), False)
    assert wait_until(lambda: not q.is_alive())
    wait_queued(reader, on_the_wire("bye\n"))
    assert q.read_available() == "bye\n"
    for _ in range(3):
        assert q.read_available() == ""
    q.close()
    assert q.read_available() == ""


def test_history_keeps_exactly_the_last_4_mib_raw(script):
    # The terminal turns each "\n" into "\r\n"; lines make the raw stream easy to rebuild.
    lines = 5_000_000 // 50 + 1
    child = script(
        f"""
        import sys
        for i in range({lines}):
            sys.stdout.write("%048d\\n" % i)
        sys.stdout.flush()
        """
    )
    q = quillo.Quillo(child, False)
    total = 0
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        # A child that is gone ends the wait at once (disconnected); the long
        # deadline only keeps a stalled machine from ending the loop early.
        piece = q.read_until_ready(timeout_ms=20_000, max_output_bytes=300_000, quiet_ms=500)
        total += len(piece)
        if not piece and not q.is_alive():
            break
    q.close()
    raw = "".join("%048d\r\n" % i for i in range(lines))
    assert len(raw) > 5_000_000
    assert total == len(raw.replace("\r", ""))
    assert q.get_history() == raw[-4_194_304:].replace("\r", "")


def test_escape_sequences_cleaned_in_results_and_history(script):
    child = script(
        r"""
        import sys, time
        sys.stdout.write("\x1b]0;title\x07\x1b[1;32mok\x1b[0m\r\n")
        sys.stdout.flush()
        time.sleep(30)
        """
    )
    q, reader = open_session(child, False)
    try:
        wait_queued(reader, on_the_wire("\x1b]0;title\x07\x1b[1;32mok\x1b[0m\r\n"))
        assert q.read_available() == "ok\n"
        assert q.get_history() == "ok\n"
    finally:
        q.close()

"""The two waits: marker matching, settling, quiet time, deadlines and caps."""

import time

import pytest

import quillo

# A child that runs commands sent as lines: "p TEXT" prints TEXT (with \e, \r
# and \n escapes interpreted) without a newline, "s SECONDS" sleeps, "x" exits.
STEPPER = r"""
import sys, time
for line in sys.stdin:
    for step in line.rstrip("\n").split(";"):
        if step.startswith("p "):
            sys.stdout.write(step[2:].encode().decode("unicode_escape"))
            sys.stdout.flush()
        elif step.startswith("s "):
            time.sleep(float(step[2:]))
        elif step == "x":
            sys.exit(0)
"""


@pytest.fixture
def stepper(script):
    sessions = []

    def make(interactive=True, markers=None):
        q = quillo.Quillo(script(STEPPER), interactive, markers)
        sessions.append(q)
        return q

    yield make
    for q in sessions:
        q.close()


def timed(fn, *args, **kwargs):
    start = time.monotonic()
    result = fn(*args, **kwargs)
    return result, time.monotonic() - start


MARKER_CASES = [
    # (steps, expected text with settle_ms=0)
    ("p (gd;s 0.2;p b) ", "(gdb) "),  # prompt split across chunks
    ("p \\x1b[1m(g\\x1b[31mdb)\\x1b[0m ", "(gdb) "),  # colour codes inside the prompt
    ("p \\x1b]0\\x3bt\\x07(gdb) ", "(gdb) "),  # title sequence before it
    ("p a(gdb) b", "a(gdb) b"),  # marker in the middle also ends the main phase
]


@pytest.mark.parametrize("steps,expected", MARKER_CASES)
def test_marker_found_in_cleaned_accumulated_output(stepper, steps, expected):
    q = stepper()
    out, took = timed(q.send_and_read_until_ready, steps, settle_ms=0, timeout_ms=5000)
    assert out == expected
    assert took < 4


def test_marker_with_control_character_never_matches(stepper):
    q = stepper(markers=["(gdb)\r "])
    out, took = timed(q.send_and_read_until_ready, "p (gdb)\\r ", settle_ms=0, timeout_ms=400)
    assert out == "(gdb) "
    assert took >= 0.39  # ran to the deadline


def test_markers_tested_in_list_order(stepper):
    q = stepper(markers=["zzz", "b) "])
    assert q.send_and_read_until_ready("p (gdb) ", settle_ms=0) == "(gdb) "
    q.set_ready_markers(["", "never"])
    out, took = timed(q.send_and_read_until_ready, "p first;s 0.3;p second", settle_ms=0)
    assert out == "first"  # the empty marker matches the first chunk
    assert q.read_until_ready(settle_ms=0, timeout_ms=2000) == "second"


def test_settle_zero_leaves_trailing_output_queued(stepper):
    q = stepper()
    assert q.send_and_read_until_ready("p (gdb) ;s 0.1;p tail", settle_ms=0) == "(gdb) "
    time.sleep(0.3)
    assert q.read_available() == "tail"


def test_settle_collects_output_trailing_the_prompt(stepper):
    q = stepper()
    out = q.send_and_read_until_ready("p (gdb) ;s 0.01;p tail", settle_ms=500)
    assert out == "(gdb) tail"


def test_settle_ends_at_its_deadline_while_output_continues(stepper):
    q = stepper()
    # A dot every 2 ms: a loaded machine has to stall the child for 25 ms
    # before the settle could see a quiet receive and end early.
    steps = "p (gdb) ;" + ";".join(["s 0.002;p ."] * 300)  # one line under 4 KiB
    out, took = timed(q.send_and_read_until_ready, steps, settle_ms=300, timeout_ms=10000)
    assert out.startswith("(gdb) .")
    assert 0.25 < took < 1.5
    assert len(out) < 6 + 300  # the rest is still queued


@pytest.mark.parametrize("kwargs", [{"timeout_ms": 0}, {"max_output_bytes": 0}])
@pytest.mark.parametrize("interactive", [True, False])
def test_zero_deadline_or_cap_consumes_nothing(stepper, kwargs, interactive):
    q = stepper(interactive=interactive)
    q.send_and_read_until_ready("p queued(gdb) ", settle_ms=0, timeout_ms=0)
    time.sleep(0.3)
    out, took = timed(q.read_until_ready, **kwargs)
    assert out == ""
    assert took < 0.5
    assert q.get_history() == ""
    assert q.read_available() == "queued(gdb) "


def test_stale_marker_returns_early(stepper):
    q = stepper()
    q.send_and_read_until_ready("p old(gdb) ", timeout_ms=0)
    time.sleep(0.3)
    out = q.send_and_read_until_ready("s 0.5;p new(gdb) ", settle_ms=0)
    assert out == "old(gdb) "
    assert q.read_until_ready(settle_ms=0) == "new(gdb) "


@pytest.mark.parametrize("interactive", [True, False])
def test_cap_cuts_chunk_and_keeps_the_rest(stepper, interactive):
    q = stepper(interactive=interactive)
    q.send_and_read_until_ready("p 0123456789(gdb) ", timeout_ms=0)
    time.sleep(0.3)
    out, took = timed(q.read_until_ready, max_output_bytes=4, quiet_ms=1000)
    assert out == "0123"
    assert took < 0.5  # the cap ends the wait at once
    assert q.read_until_ready(settle_ms=0, quiet_ms=100) == "456789(gdb) "
    assert q.get_history() == "0123456789(gdb) "


def test_cap_cut_inside_character_shows_replacement(stepper):
    q = stepper(markers=[])
    q.send_and_read_until_ready("p caf\\xe9", timeout_ms=0)  # é is two bytes on the wire
    time.sleep(0.3)
    assert q.read_until_ready(max_output_bytes=4) == "caf\ufffd"
    assert q.read_until_ready(quiet_ms=50) == "\ufffd"
    assert q.get_history() == "café"


def test_non_interactive_session_uses_quiet_wait_despite_markers(stepper):
    q = stepper(interactive=False)
    out, took = timed(q.send_and_read_until_ready, "p (gdb) ;s 0.05;p more", quiet_ms=300)
    assert out == "(gdb) more"


def test_interactive_with_empty_markers_uses_quiet_wait(stepper):
    q = stepper()
    q.set_ready_markers([])
    out = q.send_and_read_until_ready("p (gdb) ;s 0.05;p more", quiet_ms=300)
    assert out == "(gdb) more"
    q.set_ready_markers(["(gdb) "])
    assert q.send_and_read_until_ready("p (gdb) ;s 0.2;p more", settle_ms=0) == "(gdb) "


def test_quiet_zero_returns_after_first_chunk(stepper):
    q = stepper(interactive=False)
    assert q.send_and_read_until_ready("p one;s 0.2;p two", quiet_ms=0) == "one"
    assert q.read_until_ready(quiet_ms=0) == "two"


def test_quiet_wait_ends_at_a_pause(stepper):
    q = stepper(interactive=False)
    out, took = timed(q.send_and_read_until_ready, "p one;s 0.6;p two", quiet_ms=100)
    assert out == "one"
    assert took < 0.55
    assert q.read_until_ready(quiet_ms=100) == "two"


@pytest.mark.parametrize("interactive", [True, False])
def test_no_output_runs_to_deadline(stepper, interactive):
    q = stepper(interactive=interactive)
    out, took = timed(q.read_until_ready, timeout_ms=300)
    assert out == ""
    assert 0.29 < took < 2


@pytest.mark.parametrize("interactive", [True, False])
def test_child_exit_ends_wait_with_queued_output(stepper, interactive):
    q = stepper(interactive=interactive)
    out, took = timed(q.send_and_read_until_ready, "p last words;x", timeout_ms=10000, quiet_ms=5000)
    assert out == "last words"
    assert took < 3
    # Disconnected for good: later waits return at once.
    out, took = timed(q.read_until_ready, timeout_ms=10000)
    assert (out, took < 1) == ("", True)


def test_wait_after_close_returns_queued_then_nothing(stepper):
    q = stepper()
    q.send_and_read_until_ready("p left(gdb) ", timeout_ms=0)
    time.sleep(0.3)
    q.close()
    assert q.read_until_ready(timeout_ms=10000, settle_ms=0) == "left(gdb) "
    out, took = timed(q.read_until_ready, timeout_ms=10000)
    assert (out, took < 1) == ("", True)


def test_marker_just_before_deadline_still_settles(stepper):
    q = stepper()
    steps = "s 0.2;p (gdb) ;" + ";".join(["s 0.01;p ."] * 30)
    out, took = timed(q.send_and_read_until_ready, steps, timeout_ms=250, settle_ms=200)
    assert out.startswith("(gdb) .")
    assert took > 0.3  # past timeout_ms, by the settle rules

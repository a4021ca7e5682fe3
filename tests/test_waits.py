"""The two waits: marker matching, settling, quiet time, deadlines and caps."""

import time

import pytest

import quillo
from conftest import bytes_read, new_reader, on_the_wire, reader_threads, wait_queued

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


# A deadline no wait here reaches unless it misbehaves. A wait that must end by
# a marker, a cap, a zero deadline or the child's exit is asserted to end well
# before it, which a loaded machine never stretches that far.
LONG_MS = 30_000
EARLY = LONG_MS / 1000 / 2  # seconds


class Steppers:
    """stepper(interactive=True, markers=None) starts a STEPPER session;
    stepper.queue(q, *steps) has its child print each "p" step as a chunk of
    its own and returns once all of them are queued, unread."""

    def __init__(self, script):
        self.script = script
        self.sessions = []
        self.readers = {}

    def __call__(self, interactive=True, markers=None):
        before = reader_threads()
        q = quillo.Quillo(self.script(STEPPER), interactive, markers)
        self.readers[id(q)] = new_reader(before)
        self.sessions.append(q)
        return q

    def queue(self, q, *steps):
        # Everything the child printed before has been read already (by the
        # reader): each step's bytes come on top of what it has read so far.
        reader = self.readers[id(q)]
        for step in steps:
            assert step.startswith("p ")
            text = step[2:].encode().decode("unicode_escape")
            read = bytes_read(reader) or 0
            q.send_and_read_until_ready(step, timeout_ms=0)  # only writes
            wait_queued(reader, read + on_the_wire(text))


@pytest.fixture
def stepper(script):
    steppers = Steppers(script)
    yield steppers
    for q in steppers.sessions:
        q.close()


def dots(count):
    """Lines of steps printing `count` dots, one every 2 ms: a loaded machine
    has to stall the child or the reader for 25 ms before a settle could see a
    quiet receive and end early. Each line stays under the terminal's 4 KiB."""
    return [";".join(["s 0.002;p ."] * min(300, count - n)) for n in range(0, count, 300)]


def timed(fn, *args, **kwargs):
    start = time.monotonic()
    result = fn(*args, **kwargs)
    return result, time.monotonic() - start


def settle_through_dots(stepper, count, at_least, attempts=3, **wait):
    """A marker, then `count` dots queued, then read_until_ready(**wait), timed.
    A settle fed every 2 ms lasts at least `at_least` seconds; a loaded machine
    that stalls the child for 25 ms ends it early by its own rules, so the run
    is repeated on a fresh session, up to `attempts` times. A wait that ends
    early by mistake does so every time. Returns (text, seconds, every time)."""
    times = []
    for _ in range(attempts):
        q = stepper()
        stepper.queue(q, "p (gdb) ")  # the marker matches at once
        for line in dots(count):
            q.send_and_read_until_ready(line, timeout_ms=0)  # only writes
        out, took = timed(q.read_until_ready, **wait)
        times.append(took)
        if took > at_least:
            break
        q.close()
    return out, took, times


MARKER_CASES = [
    # (steps, expected text with settle_ms=0); all steps but the last are
    # queued, as chunks of their own, before the last is sent
    (["p (gd", "p b) "], "(gdb) "),  # prompt split across chunks
    (["p \\x1b[1m(g\\x1b[31mdb)\\x1b[0m "], "(gdb) "),  # colour codes inside the prompt
    (["p \\x1b]0\\x3bt\\x07(gdb) "], "(gdb) "),  # title sequence before it
    (["p a(gdb) b"], "a(gdb) b"),  # marker in the middle also ends the main phase
]


@pytest.mark.parametrize("steps,expected", MARKER_CASES)
def test_marker_found_in_cleaned_accumulated_output(stepper, steps, expected):
    q = stepper()
    stepper.queue(q, *steps[:-1])
    out, took = timed(q.send_and_read_until_ready, steps[-1], settle_ms=0, timeout_ms=LONG_MS)
    assert out == expected
    assert took < EARLY  # ended by the marker, not by the deadline


def test_marker_with_control_character_never_matches(stepper):
    q = stepper(markers=["(gdb)\r "])
    stepper.queue(q, "p (gdb)\\r ")  # there from the start, whatever the machine's pace
    out, took = timed(q.read_until_ready, settle_ms=0, timeout_ms=400)
    assert out == "(gdb) "
    assert took >= 0.39  # ran to the deadline


def test_markers_tested_in_list_order(stepper):
    q = stepper(markers=["zzz", "b) "])
    assert q.send_and_read_until_ready("p (gdb) ", settle_ms=0) == "(gdb) "
    q.set_ready_markers(["", "never"])
    stepper.queue(q, "p first", "p second")
    assert q.read_until_ready(settle_ms=0) == "first"  # the empty marker matches the first chunk
    assert q.read_until_ready(settle_ms=0, timeout_ms=2000) == "second"


@pytest.mark.parametrize(
    "settle_ms,returned,left",
    [
        (0, "(gdb) ", "tail"),  # settle_ms=0 leaves what trails the prompt queued
        (500, "(gdb) tail", ""),  # the settle collects it
    ],
)
def test_settle_and_output_trailing_the_prompt(stepper, settle_ms, returned, left):
    q = stepper()
    stepper.queue(q, "p (gdb) ", "p tail")
    assert q.read_until_ready(settle_ms=settle_ms) == returned
    assert q.read_available() == left


def test_settle_ends_at_its_deadline_while_output_continues(stepper):
    # 300 dots over 0.6 s and more
    out, took, times = settle_through_dots(stepper, 300, 0.29, settle_ms=300, timeout_ms=10000)
    assert out.startswith("(gdb) .")
    assert 0.29 < took < 3, times  # the settle deadline; the upper bound only catches a hang
    assert len(out) < 6 + 300  # the rest is still queued


# Whatever else a misbehaving wait could wait for (the deadline, a quiet or
# settle time) is long, so that "at once" has a wide margin.
@pytest.mark.parametrize(
    "kwargs",
    [
        {"timeout_ms": 0, "quiet_ms": LONG_MS, "settle_ms": LONG_MS},
        {"max_output_bytes": 0, "timeout_ms": LONG_MS, "quiet_ms": LONG_MS, "settle_ms": LONG_MS},
    ],
)
@pytest.mark.parametrize("interactive", [True, False])
def test_zero_deadline_or_cap_consumes_nothing(stepper, kwargs, interactive):
    q = stepper(interactive=interactive)
    stepper.queue(q, "p queued(gdb) ")
    out, took = timed(q.read_until_ready, **kwargs)
    assert out == ""
    assert took < EARLY
    assert q.get_history() == ""
    assert q.read_available() == "queued(gdb) "


def test_stale_marker_returns_early(stepper):
    q = stepper()
    stepper.queue(q, "p old(gdb) ")  # left unread by an earlier call
    out = q.send_and_read_until_ready("s 0.5;p new(gdb) ", settle_ms=0)
    assert out == "old(gdb) "
    assert q.read_until_ready(settle_ms=0) == "new(gdb) "


@pytest.mark.parametrize("interactive", [True, False])
def test_cap_cuts_chunk_and_keeps_the_rest(stepper, interactive):
    q = stepper(interactive=interactive)
    stepper.queue(q, "p 0123456789(gdb) ")
    out, took = timed(q.read_until_ready, max_output_bytes=4, quiet_ms=LONG_MS)
    assert out == "0123"
    assert took < EARLY  # the cap ends the wait at once, not the quiet time or the deadline
    assert q.read_until_ready(settle_ms=0, quiet_ms=100) == "456789(gdb) "
    assert q.get_history() == "0123456789(gdb) "


def test_cap_cut_inside_character_shows_replacement(stepper):
    q = stepper(markers=[])
    stepper.queue(q, "p caf\\xe9")  # é is two bytes on the wire
    assert q.read_until_ready(max_output_bytes=4) == "caf\ufffd"
    assert q.read_until_ready(quiet_ms=50) == "\ufffd"
    assert q.get_history() == "café"


def test_non_interactive_session_uses_quiet_wait_despite_markers(stepper):
    q = stepper(interactive=False)
    stepper.queue(q, "p (gdb) ", "p more")  # a marker wait with settle_ms=0 stops after the first
    assert q.read_until_ready(settle_ms=0, quiet_ms=300) == "(gdb) more"


def test_interactive_with_empty_markers_uses_quiet_wait(stepper):
    q = stepper()
    q.set_ready_markers([])
    stepper.queue(q, "p (gdb) ", "p more")
    assert q.read_until_ready(settle_ms=0, quiet_ms=300) == "(gdb) more"
    q.set_ready_markers(["(gdb) "])
    stepper.queue(q, "p (gdb) ", "p more")
    assert q.read_until_ready(settle_ms=0, quiet_ms=300) == "(gdb) "


def test_quiet_zero_returns_after_first_chunk(stepper):
    q = stepper(interactive=False)
    stepper.queue(q, "p one", "p two")
    assert q.read_until_ready(quiet_ms=0) == "one"
    assert q.read_until_ready(quiet_ms=0) == "two"


def test_quiet_wait_ends_at_a_pause(stepper):
    q = stepper(interactive=False)
    stepper.queue(q, "p one")
    q.send_and_read_until_ready("s 1;p two", timeout_ms=0)  # a pause of a second, then more
    out, took = timed(q.read_until_ready, quiet_ms=100)
    assert out == "one"
    assert took < 0.8  # about 100 ms after "one", long before "two"
    assert q.read_until_ready(quiet_ms=100) == "two"


@pytest.mark.parametrize("interactive", [True, False])
def test_no_output_runs_to_deadline(stepper, interactive):
    q = stepper(interactive=interactive)
    out, took = timed(q.read_until_ready, timeout_ms=300)
    assert out == ""
    assert 0.29 < took < 3  # the upper bound only catches a wait that overruns


@pytest.mark.parametrize("interactive", [True, False])
def test_child_exit_ends_wait_with_queued_output(stepper, interactive):
    q = stepper(interactive=interactive)
    out, took = timed(q.send_and_read_until_ready, "p last words;x", timeout_ms=LONG_MS, quiet_ms=LONG_MS)
    assert out == "last words"
    assert took < EARLY
    # Disconnected for good: later waits return at once.
    out, took = timed(q.read_until_ready, timeout_ms=LONG_MS)
    assert (out, took < EARLY) == ("", True)


def test_wait_after_close_returns_queued_then_nothing(stepper):
    q = stepper()
    stepper.queue(q, "p left(gdb) ")
    q.close()
    assert q.read_until_ready(timeout_ms=LONG_MS, settle_ms=0) == "left(gdb) "
    out, took = timed(q.read_until_ready, timeout_ms=LONG_MS)
    assert (out, took < EARLY) == ("", True)


def test_marker_just_before_deadline_still_settles(stepper):
    # The marker matches within the first moments of a 200 ms deadline; dots
    # follow for 1.2 s and more.
    out, took, times = settle_through_dots(stepper, 600, 0.49, timeout_ms=200, settle_ms=500)
    assert out.startswith("(gdb) .")
    assert took > 0.49, times  # far past timeout_ms: the settle runs by its own rules

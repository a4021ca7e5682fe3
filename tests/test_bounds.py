"""Nothing lost, nothing unbounded: output already in the terminal survives a
late reader at close, every session descriptor stays clear of 0-2, a write to a
child that stopped reading gives up, and output nobody reads stops at the
queue's bound instead of growing the host."""

import os
import re
import subprocess
import time
from pathlib import Path

import quillo
from conftest import THREAD_SANITIZED, children_of, reader_threads, run_host, wait_until
from leakcheck import rss_bytes

QUEUE_BOUND = 64 * 1024 * 1024
WRITE_STALL_S = 20.0
TIMED_OUT = "Connection timed out (os error 110)"


def eventfds() -> set[int]:
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == "anon_inode:[eventfd]":
                found.add(int(fd))
        except OSError:
            pass
    return found


# ---------------------------------------------------------------- close keeps the last output

def test_close_keeps_output_a_late_reader_had_not_read(bins, script):
    """The reader is held stopped (ptrace) while the child writes 3,000 bytes
    and exits, and is let go only once close has given up waiting for it:
    every byte is still readable afterwards, in order, and in the history."""
    payload = "".join(f"{i:05d}\n" for i in range(500))
    child = script(
        f"""
        import sys
        sys.stdin.readline()
        sys.stdout.write({payload!r})
        """
    )
    readers, stops = reader_threads(), eventfds()
    q = quillo.Quillo(child, False)
    try:
        (reader,) = reader_threads() - readers
        (stop,) = eventfds() - stops
        holder = subprocess.Popen(
            [bins["threadstop"], str(reader), f"/proc/{os.getpid()}/fdinfo/{stop}"],
            stdout=subprocess.PIPE,
            text=True,
        )
        assert holder.stdout.readline() == "stopped\n"
        assert q.send_and_read_until_ready("go", timeout_ms=0) == ""
        assert wait_until(lambda: not q.is_alive())
        q.close()
        assert holder.stdout.read() == "released\n"  # close stopped the reader while it was held
        assert holder.wait(30) == 0
        assert q.read_available(1 << 20) == payload
        assert q.read_available() == ""
        assert q.get_history() == payload
    finally:
        q.close()


# ---------------------------------------------------------------- descriptors above 2

DAEMON_HOST = """
import json, os, quillo

def listing():
    # The listing's own descriptor is gone by the time it is looked up.
    found = {}
    for f in os.listdir("/proc/self/fd"):
        try:
            found[int(f)] = os.readlink(f"/proc/self/fd/{f}")
        except OSError:
            pass
    return found

saved = os.dup(1)
os.set_inheritable(saved, False)
for fd in (0, 1, 2):
    os.close(fd)
before = listing()
q = quillo.Quillo("cat", True, ["ok\\n"])
owned = sorted(set(listing()) - set(before))
# The usual daemon idiom: 0, 1 and 2 restored to /dev/null.
null = os.open("/dev/null", os.O_RDWR)
for fd in (0, 1, 2):
    if fd != null:
        os.dup2(null, fd)
if null > 2:
    os.close(null)
reply = q.send_and_read_until_ready("ok", settle_ms=0, timeout_ms=10000)
alive = q.is_alive()
q.close()
after = listing()
std = [after.get(fd) for fd in (0, 1, 2)]
os.dup2(saved, 1)
print(json.dumps({"owned": owned, "reply": reply, "alive": alive, "std": std}))
"""


def test_session_descriptors_stay_clear_of_the_standard_ones():
    """In a host that closed 0-2 (a daemon) every descriptor of the session is
    numbered 3 or above, so restoring 0-2 with dup2 breaks nothing, and closing
    the session does not close the host's own 0-2."""
    out = run_host(DAEMON_HOST, timeout=120)
    # The master, the reader's and the writer's duplicates and the stop signal.
    assert len(out["owned"]) == 4 and min(out["owned"]) >= 3, out
    assert out["reply"] == "ok\n" and out["alive"], out
    assert out["std"] == ["/dev/null"] * 3, out


# ---------------------------------------------------------------- bounded writes

STALL_HOST = """
import json, os, sys, threading, time, quillo

# A sanitizer runtime preloaded into this host is not for its children.
os.environ.pop("LD_PRELOAD", None)

stuck = quillo.Quillo({sleeper!r}, True)
done = threading.Event()
rounds = []

def other():
    # Another session on another thread keeps working while the write waits.
    q = quillo.Quillo("cat", True, ["pong\\n"])
    while not done.is_set():
        if q.send_and_read_until_ready("pong", settle_ms=0, timeout_ms=10000) == "pong\\n":
            rounds.append(time.monotonic())
    q.close()

t = threading.Thread(target=other)
t.start()
outcomes = []
# Lines: a terminal drops what overflows a single over-long line instead of
# holding the writer back.
for call in (lambda: stuck.send_and_read_until_ready(("x" * 99 + "\\n") * 10_000, timeout_ms=500),
             stuck.send_ctrl_c):
    start = time.monotonic()
    try:
        call()
        outcomes.append(["returned", time.monotonic() - start])
    except RuntimeError as e:
        outcomes.append([str(e), time.monotonic() - start])
done.set()
t.join(60)
stuck.close()
print(json.dumps({{"outcomes": outcomes, "rounds": len(rounds), "alive": stuck.is_alive()}}))
"""


def test_write_to_a_child_that_never_reads_gives_up(script):
    """1 MB to a child that never reads: the write fails once the terminal has
    accepted nothing for 20 s (not forever), a Ctrl-C behind it fails the same
    way in its flush, other sessions keep working, and the session still closes."""
    sleeper = script("exec sleep 600", lang="sh")
    out = run_host(STALL_HOST.format(sleeper=sleeper), timeout=240)
    (write_error, write_s), (flush_error, flush_s) = out["outcomes"]
    assert write_error == "write failed: " + TIMED_OUT
    assert flush_error == "flush failed: " + TIMED_OUT
    for elapsed in (write_s, flush_s):
        assert WRITE_STALL_S - 0.5 <= elapsed < WRITE_STALL_S + 30
    assert out["rounds"] > 0
    assert out["alive"] is False


def test_slow_reader_never_hits_the_write_bound(bins):
    """100 MB to a child that reads at its own pace, pausing 2 s after every
    8 MiB (over 20 s in all, longer than the stall bound): every byte arrives."""
    q = quillo.Quillo(bins["sink"], True, ["ready> "])
    try:
        assert q.read_until_ready(settle_ms=0, timeout_ms=10000) == "ready> "
        line = "x" * 999 + "\n"
        payload = line * 100_000 + "END"
        start = time.monotonic()
        reply = q.send_and_read_until_ready(payload, timeout_ms=60000, settle_ms=0)
        assert reply == f"bytes={len(line) * 100_000}\nready> "
        assert time.monotonic() - start > WRITE_STALL_S  # the scenario did outlast the bound
    finally:
        q.close()


# ---------------------------------------------------------------- bounded output queue

def written_by(pid: int) -> int:
    text = Path(f"/proc/{pid}/io").read_text()
    return int(re.search(r"^wchar: (\d+)", text, re.M).group(1))


class Sequence:
    """Checks that texts, concatenated, are exactly the counter's lines from 0."""

    def __init__(self):
        self.next = 0
        self.partial = ""
        self.bytes = 0

    def feed(self, text: str):
        self.bytes += len(text)
        text = self.partial + text
        cut = text.rfind("\n") + 1
        whole, self.partial = text[:cut], text[cut:]
        count = len(whole) // 9
        expected = "".join(map("{:08d}\n".format, range(self.next, self.next + count)))
        assert whole == expected, f"lines after {self.next} lost, repeated or out of order"
        self.next += count
        assert f"{self.next:08d}\n".startswith(self.partial)


def test_unread_flood_stops_at_the_queue_bound_and_loses_nothing(bins):
    """A child printing without pause, left unread: the host grows by at most
    the bound plus a small margin (the reader pauses and the child blocks), then
    reading resumes the flow, and every line arrives once and in order, also
    those still queued at close."""
    before_children = set(children_of(os.getpid()))
    base = rss_bytes()
    q = quillo.Quillo(bins["counter"], False)
    try:
        (child,) = set(children_of(os.getpid())) - before_children
        # Until the child is blocked (no progress for 1 s once past the bound's
        # worth of output) or has clearly outrun any bound.
        last, still_since = -1, time.monotonic()
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            now_written = written_by(child)
            if now_written >= 2 * QUEUE_BOUND:
                break
            if now_written != last:
                last, still_since = now_written, time.monotonic()
            elif now_written > QUEUE_BOUND // 2 and time.monotonic() - still_since > 1.0:
                break
            time.sleep(0.05)
        grown = rss_bytes() - base
        # Left unread for a few seconds more: the host does not grow.
        until = time.monotonic() + 3
        while time.monotonic() < until:
            grown = max(grown, rss_bytes() - base)
            time.sleep(0.1)
        if not THREAD_SANITIZED:
            assert grown < QUEUE_BOUND + 24 * 1024 * 1024, f"host grew by {grown >> 20} MiB"

        seq = Sequence()
        # Past the bound: the reader must have resumed for these bytes to exist.
        while seq.bytes < QUEUE_BOUND + 8 * 1024 * 1024:
            seq.feed(q.read_available(4 * 1024 * 1024))
        close_start = time.monotonic()
        q.close()
        assert time.monotonic() - close_start < 10  # a full queue does not hold close up
        while text := q.read_available(4 * 1024 * 1024):
            seq.feed(text)
        assert seq.next > (QUEUE_BOUND + 8 * 1024 * 1024) // 9
    finally:
        q.close()

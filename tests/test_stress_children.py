"""Hostile children: programs that ignore the polite signals, stop themselves,
drop their terminal, leave a grandchild holding it, flood it, print binary
noise, exit at once, or fork a crowd and leave. Whatever the child does, the
host gets its output intact, ends it in bounded time, and keeps nothing: no
descriptor, thread, zombie or surviving process of the child's session."""

from __future__ import annotations

import os
import random
import signal
import time

import pytest

import quillo
from conftest import HANG_GUARD, SANITIZED, children_of, process_state
from leakcheck import Snapshot, rss_bytes, session_members, wait_until
from test_sanitize import reference

# Hang guard for anything that must end "at once" or by the escalation (which
# takes at most about half a second, plus the reader's 200 ms grace):
# generous, so a loaded machine passes.
BOUNDED = 5.0
HISTORY_LIMIT = 4 * 1024 * 1024


def spawn_child(command, interactive=False, markers=None):
    """A session and the pid of its child."""
    before = set(children_of(os.getpid()))
    q = quillo.Quillo(command, interactive, markers)
    (pid,) = set(children_of(os.getpid())) - before
    return q, pid


def read_until(q, needle, timeout=HANG_GUARD):
    out = ""
    deadline = time.monotonic() + timeout
    while needle not in out and time.monotonic() < deadline:
        out += q.read_until_ready(timeout_ms=200, quiet_ms=50)
    assert needle in out, out
    return out


def end_session(holder, how):
    """Ends the one session in `holder` (a list, emptied here so that this
    frame holds the last reference) the way `how` says; returns the seconds
    that took. After "reset" the new child is closed, untimed. Returns the
    session too, unless it was dropped."""
    q = holder.pop()
    assert not holder
    start = time.monotonic()
    if how == "drop":
        del q  # deallocation tears the session down
        return time.monotonic() - start, None
    if how == "close":
        q.close()
    else:
        q.reset()
    took = time.monotonic() - start
    if how == "reset":
        q.close()
    return took, q


def gone(pid):
    return process_state(pid) is None


# ---------------------------------------------------------------- ending hostile children

IGNORE = "import signal\nfor s in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):\n    signal.signal(s, signal.SIG_IGN)\n"

HOSTILE = {
    # name: (script body, language) or a fixture program name
    "ignores-hup-int-term": "stubborn",
    "ignores-and-floods": (
        IGNORE + "import sys\nprint('ready', flush=True)\nwhile True:\n    sys.stdout.write('z' * 65536)\n",
        "python",
    ),
    "stops-itself": (
        "import os, signal, time\nprint('ready', flush=True)\nos.kill(os.getpid(), signal.SIGSTOP)\ntime.sleep(60)\n",
        "python",
    ),
    "stops-itself-ignoring": (
        IGNORE + "import os, time\nprint('ready', flush=True)\nos.kill(os.getpid(), signal.SIGSTOP)\ntime.sleep(60)\n",
        "python",
    ),
    "closes-its-terminal": (
        "import os, time\nprint('ready', flush=True)\nfor fd in (0, 1, 2):\n    os.close(fd)\ntime.sleep(60)\n",
        "python",
    ),
    "closes-terminal-ignoring": (
        IGNORE + "import os, time\nprint('ready', flush=True)\nfor fd in (0, 1, 2):\n    os.close(fd)\ntime.sleep(60)\n",
        "python",
    ),
}


@pytest.mark.parametrize("how", ["close", "drop", "reset"])
@pytest.mark.parametrize("kind", list(HOSTILE))
def test_hostile_child_is_ended_in_bounded_time(script, bins, kind, how):
    source = HOSTILE[kind]
    command = bins[source] if isinstance(source, str) else script(*source)
    start = Snapshot.take()
    q, pid = spawn_child(command)
    read_until(q, "ready\n")  # the whole line: print() sends the newline apart
    if kind.startswith("stops-itself"):
        assert wait_until(lambda: process_state(pid) == "T")
        assert q.is_alive() is True  # stopped is not ended
    if kind.startswith("closes"):
        # Nobody holds the terminal's child side any more: reads end at once.
        t0 = time.monotonic()
        assert q.read_until_ready(timeout_ms=20_000, quiet_ms=20_000) == ""
        assert time.monotonic() - t0 < BOUNDED
        assert q.is_alive() is True
    holder = [q]
    del q
    took, q = end_session(holder, how)
    del q
    assert took < BOUNDED
    assert gone(pid), process_state(pid)  # ended and reaped, not a zombie
    start.assert_restored()


def test_many_stubborn_children_closed_one_after_another(bins):
    start = Snapshot.take()
    sessions = [spawn_child(bins["stubborn"]) for _ in range(6)]
    for q, _ in sessions:
        read_until(q, "stubborn ready")
    for q, pid in sessions:
        t0 = time.monotonic()
        q.close()
        assert time.monotonic() - t0 < BOUNDED
        assert gone(pid)
    del sessions, q
    start.assert_restored()


# ---------------------------------------------------------------- a grandchild keeps the terminal

GRANDCHILDREN = {
    # the grandchild, started with setsid so that hanging up the child's session misses it
    "sleeps": "exec sleep 60",
    "floods": "exec yes grandchild",
}


@pytest.mark.parametrize("how", ["close", "drop", "reset"])
@pytest.mark.parametrize("grandchild", list(GRANDCHILDREN))
def test_setsid_grandchild_holding_terminal(script, tmp_path, grandchild, how):
    start = Snapshot.take()
    sessions = []
    child_pids = []
    grandchild_pids = []
    try:
        for n in range(4):
            pidfile = tmp_path / f"grandchild{n}"
            child = script(
                f"""
                setsid sh -c 'echo $$ > {pidfile}.tmp; mv {pidfile}.tmp {pidfile}; {GRANDCHILDREN[grandchild]}' &
                echo started
                exec sleep 60
                """,
                lang="sh",
            )
            q, pid = spawn_child(child)
            read_until(q, "started")
            assert wait_until(pidfile.exists)
            grandchild_pids.append(int(pidfile.read_text()))
            sessions.append(q)
            child_pids.append(pid)
        del q
        while sessions:
            took, q = end_session([sessions.pop(0)], how)
            assert took < BOUNDED
            if q is not None:
                # The reader was stopped: once what it had queued is taken,
                # waits end at once, disconnected.
                while q.read_available(1 << 20):
                    pass
                t0 = time.monotonic()
                assert q.read_until_ready(timeout_ms=20_000, quiet_ms=20_000) == ""
                assert time.monotonic() - t0 < BOUNDED
            del q
        assert [gone(pid) for pid in child_pids] == [True] * len(child_pids)
        if grandchild == "sleeps":
            # Still running, holding the terminal; the host holds nothing of theirs.
            assert all(process_state(p) not in (None, "Z") for p in grandchild_pids)
        start.assert_restored()
    finally:
        for p in grandchild_pids:
            try:
                os.kill(p, signal.SIGKILL)
            except ProcessLookupError:
                pass


# ---------------------------------------------------------------- floods

FLOOD_CHILD = """
import os
size, block = {size}, {block}
base = b"".join(b"%010d" % i for i in range(block // 10))
progress = os.open({progress!r}, os.O_RDWR)
sent = 0
for k in range(size // block):
    data = memoryview(b"%010d" % k + base[10:])
    while data:
        n = os.write(1, data)
        data = data[n:]
        sent += n
    os.pwrite(progress, sent.to_bytes(8, "little"), 0)
import time
time.sleep(60)
"""


@pytest.mark.parametrize(
    "size",
    [pytest.param(100_000_000, id="100MB")],
)
def test_flood_without_newline_small_caps_every_byte_once(script, tmp_path, size):
    """100 MB on one line. The caller reads with small, changing caps, pausing
    once to let a backlog build: every byte arrives exactly once and in order,
    and memory stays within what the caller has left unread."""
    block = 1_000_000
    base = b"".join(b"%010d" % i for i in range(block // 10))
    progress = tmp_path / "progress"
    progress.write_bytes(bytes(8))
    pfd = os.open(progress, os.O_RDONLY)

    def written():
        return int.from_bytes(os.pread(pfd, 8, 0), "little")

    q = quillo.Quillo(script(FLOOD_CHILD.format(size=size, block=block, progress=str(progress))), False)
    rss_start = rss_bytes()
    caps = [1, 7, 100, 4093, 8193, 65536, 3000, 512]
    delivered = 0
    pending: list[str] = []
    pending_len = 0
    next_block = 0
    paused = False  # reading stops once, a quarter of the way in
    peak_rss = peak_unread = 0

    def sample():
        nonlocal peak_rss, peak_unread
        peak_rss = max(peak_rss, rss_bytes() - rss_start)
        peak_unread = max(peak_unread, written() - delivered)

    deadline = time.monotonic() + 120
    calls = 0
    try:
        while delivered < size:
            assert time.monotonic() < deadline, f"stalled at {delivered} of {size} bytes, child wrote {written()}"
            if not paused and delivered >= size // 4:
                # Stop reading until the child is 30 MB ahead (or done).
                paused = True
                wait_until(lambda: written() - delivered >= 30_000_000 or written() >= size, timeout=60)
                sample()
            piece = q.read_available(caps[calls % len(caps)])
            calls += 1
            if not piece:
                time.sleep(0.0005)
                continue
            delivered += len(piece)
            pending.append(piece)
            pending_len += len(piece)
            if calls % 2048 == 0:
                sample()
            while pending_len >= block:
                joined = "".join(pending)
                expected = (b"%010d" % next_block + base[10:]).decode()
                assert joined[:block] == expected, f"block {next_block} differs"
                next_block += 1
                pending = [joined[block:]]
                pending_len -= block
        assert delivered == size and pending_len == 0
        assert q.read_until_ready(timeout_ms=300, quiet_ms=100) == ""  # nothing more, nothing twice
        # The history holds the last 4 MiB of the stream exactly.
        tail = b"".join(b"%010d" % k + base[10:] for k in range(size // block - 5, size // block))
        assert q.get_history() == tail[-HISTORY_LIMIT:].decode()
    finally:
        q.close()
        os.close(pfd)
    # Memory grows with the backlog the caller leaves (the pause built one of
    # 30 MB or more) and beyond it only by the history cap, the caller's own
    # buffers and noise; it never holds the 100 MB stream.
    assert peak_unread >= 30_000_000
    if not SANITIZED:  # the address sanitizer's quarantine holds freed memory on purpose
        assert peak_rss < peak_unread + 24 * 1024 * 1024, (peak_rss, peak_unread)


BINARY_CHILD = """
import os, random, time
rng = random.Random({seed})


def put(data):
    data = memoryview(data)
    while data:
        data = data[os.write(1, data):]


left = {size}
while left:
    n = min(left, rng.choice([1, 2, 3, 17, 100, 4095, 4096, 8191, 65536]))
    put(rng.randbytes(n))
    left -= n
    if rng.random() < 0.05:
        time.sleep(0.002)
"""

C0_KEPT = {"\t", "\n"}


def check_clean(text: str) -> None:
    text.encode("utf-8")  # no lone surrogates: valid UTF-8 on the way out
    bad = {c for c in text if (ord(c) < 0x20 and c not in C0_KEPT) or c == "\x1b"}
    assert not bad, bad


@pytest.mark.parametrize(
    "size,seed",
    [
        pytest.param(3_000_000, 1, id="3MB"),
        pytest.param(64_000_000, 2, id="64MB", marks=pytest.mark.long),
    ],
)
def test_random_binary_output_is_always_clean_text(script, size, seed):
    """Random bytes, read every way there is with random caps: each result is
    valid UTF-8 without escape or control characters, and the history equals
    the reference cleaning of the raw stream's tail."""
    q = quillo.Quillo(script(BINARY_CHILD.format(seed=seed, size=size)), True, ["\x00never"])
    rng = random.Random(seed)
    deadline = time.monotonic() + 600
    try:
        while True:
            assert time.monotonic() < deadline
            if not q.is_alive() and rng.random() < 0.01:
                # The child has exited: the stream ends with the reader's disconnection.
                piece = q.read_until_ready(timeout_ms=20_000, max_output_bytes=1 << 30)
                check_clean(piece)
                if not piece:
                    break
            way = rng.randrange(3)
            if way == 0:
                piece = q.read_available(rng.choice([1, 5, 1000, 70_000]))
            elif way == 1:
                piece = q.read_until_ready(
                    timeout_ms=100, max_output_bytes=rng.choice([1, 3, 8192, 500_000]), settle_ms=10
                )
            else:
                q.set_ready_markers([])  # quiet wait
                piece = q.read_until_ready(timeout_ms=100, max_output_bytes=rng.randrange(1, 300_000), quiet_ms=20)
                q.set_ready_markers(["\x00never"])
            check_clean(piece)
        history = q.get_history()
        check_clean(history)
    finally:
        q.close()
    # The whole raw stream, as the terminal passed it on (ONLCR: LF -> CR LF).
    gen = random.Random(seed)
    chunks = []
    left = size
    while left:
        n = min(left, gen.choice([1, 2, 3, 17, 100, 4095, 4096, 8191, 65536]))
        chunks.append(gen.randbytes(n))
        left -= n
        gen.random()  # the child's pause draw
    raw = b"".join(chunks).replace(b"\n", b"\r\n")
    assert history == reference(raw[-HISTORY_LIMIT:])


# ---------------------------------------------------------------- children that leave at once

INSTANT = {
    # name: (program or script, expected output)
    "true": ("true", ""),
    "exit-3": (("exit 3", "sh"), ""),
    "prints-then-exits": (("exec seq 1 20000", "sh"), "".join(f"{i}\n" for i in range(1, 20001))),
}


@pytest.mark.parametrize(
    "kind,cycles",
    [pytest.param(k, 60, id=f"{k}-fast") for k in INSTANT]
    + [pytest.param(k, 600, id=f"{k}-long", marks=pytest.mark.long) for k in INSTANT],
)
def test_child_that_exits_at_once(script, kind, cycles):
    source, expected = INSTANT[kind]
    command = source if isinstance(source, str) else script(*source)
    start = Snapshot.take()
    for n in range(cycles):
        q = quillo.Quillo(command, n % 2 == 0)  # both waits: markers and quiet
        out = ""
        t0 = time.monotonic()
        while True:
            piece = q.read_until_ready(timeout_ms=20_000, quiet_ms=20_000)
            out += piece
            if not piece:
                break  # disconnected: the child and every holder of its terminal are gone
        assert time.monotonic() - t0 < 10  # ended by disconnection, not by the deadline
        assert out == expected
        # The terminal closes as the child exits, a moment before the exit
        # can be collected: allow that moment, not more.
        deadline = time.monotonic() + 5
        while q.is_alive() and time.monotonic() < deadline:
            time.sleep(0.001)
        assert q.is_alive() is False
        if n % 3 == 0:
            q.close()
        elif n % 3 == 1:
            q.reset()
            q.close()
        del q
    start.assert_restored()


FORKER = """
mkdir -p {tmp}
for i in $(seq 1 {kids}); do
  (echo kid $i; touch {tmp}/$i; exec sleep 60) &
done
while [ $(ls {tmp} | wc -l) -lt {kids} ]; do sleep 0.02; done
echo parent-exit
"""


@pytest.mark.parametrize(
    "kids,rounds", [pytest.param(50, 2, id="fast"), pytest.param(200, 10, id="long", marks=pytest.mark.long)]
)
def test_child_that_forks_many_and_exits(script, tmp_path, kids, rounds):
    """The children it leaves hold the terminal until the kernel hangs them up
    with their session leader; their output arrives whole, and nothing of the
    session survives."""
    start = Snapshot.take()
    for r in range(rounds):
        q, pid = spawn_child(script(FORKER.format(tmp=tmp_path / f"r{r}", kids=kids), "sh"))
        out = ""
        deadline = time.monotonic() + 60
        while True:
            assert time.monotonic() < deadline
            piece = q.read_until_ready(timeout_ms=20_000, quiet_ms=20_000)
            if not piece:
                break
            out += piece
        lines = out.splitlines()
        assert sorted(lines) == sorted([f"kid {i}" for i in range(1, kids + 1)] + ["parent-exit"])
        q.close()
        assert wait_until(lambda: session_members(pid) == [])
        del q
    start.assert_restored()

"""Soak: thousands of sessions built and ended one after another, against cat,
an interactive shell and gdb. After each run the host's descriptors, threads
and children are back where they started and resident memory has not grown.

The fast variants run by default; the full counts are marked `long`."""

from __future__ import annotations

import shutil

import pytest

import quillo
from conftest import SANITIZED
from leakcheck import Snapshot, rss_bytes

# Resident memory may move this much over a run without anything leaking
# (allocator arenas, the interpreter's own caches). A leak of one 8 KiB read
# buffer or one 64 KiB history per session shows well above it.
RSS_NOISE = 4 * 1024 * 1024


def talk_cat(q):
    q.set_ready_markers(["soak-ok\n"])
    out = q.send_and_read_until_ready("soak-ok", settle_ms=0, timeout_ms=10_000)
    assert out == "soak-ok\n"


def talk_sh(q):
    # dash or bash as root or not: the prompt ends in "# " or "$ ".
    assert q.read_until_ready(settle_ms=0, timeout_ms=10_000)[-2:] in ("# ", "$ ")
    out = q.send_and_read_until_ready("echo soak-$((6*7))", settle_ms=0, timeout_ms=10_000)
    assert "soak-42\n" in out


def talk_gdb(q):
    assert q.read_until_ready(settle_ms=0, timeout_ms=30_000).endswith("(gdb) ")
    assert "$1 = 42" in q.send_and_read_until_ready("print 6*7", settle_ms=0, timeout_ms=30_000)


PROGRAMS = {
    "cat": (True, None, talk_cat),
    "sh": (True, ["# ", "$ "], talk_sh),
    "gdb": (True, None, talk_gdb),
}


def needs(program):
    return pytest.mark.skipif(shutil.which(program) is None, reason=f"{program} is not installed")


def cases(fast: dict[str, tuple[int, int]], long: tuple[int, int]):
    """(program, closed cycles, dropped cycles): the fast counts, then the full ones."""
    out = []
    for program, (closed, dropped) in fast.items():
        out.append(pytest.param(program, closed, dropped, id=f"{program}-fast", marks=needs(program)))
    for program in PROGRAMS:
        out.append(
            pytest.param(program, *long, id=f"{program}-long", marks=[needs(program), pytest.mark.long])
        )
    return out


SOAK = cases({"cat": (1000, 300), "sh": (40, 20), "gdb": (20, 20)}, long=(2000, 500))


def cycle(program, close: bool):
    interactive, markers, talk = PROGRAMS[program]
    q = quillo.Quillo(program, interactive, markers)
    if close:
        talk(q)
        q.close()
        assert q.is_alive() is False


@pytest.mark.parametrize("program,closed,dropped", SOAK)
def test_soak_returns_everything(program, closed, dropped):
    # Warm up: the first sessions fill allocator arenas and interpreter caches.
    for _ in range(10):
        cycle(program, close=True)
        cycle(program, close=False)
    start = Snapshot.take()
    rss_start = rss_bytes()

    for _ in range(closed):
        cycle(program, close=True)
    start.assert_restored()
    rss_closed = rss_bytes()

    for _ in range(dropped):
        cycle(program, close=False)  # the last reference goes without close
    start.assert_restored()
    rss_end = rss_bytes()

    if not SANITIZED:  # the address sanitizer's quarantine holds freed memory on purpose
        growth = {"after close cycles": rss_closed - rss_start, "after drop cycles": rss_end - rss_start}
        assert max(growth.values()) < RSS_NOISE, growth

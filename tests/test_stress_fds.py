"""Descriptor hygiene: no program the host starts inherits a descriptor of a
live session, a session's child holds nothing but its own terminal on 0, 1
and 2, and no session sees another's terminal or output."""

from __future__ import annotations

import os
import resource
import subprocess
import threading
import time

import pytest

import quillo
from leakcheck import Snapshot, fd_targets


def parse_fdlist(text: str) -> dict[int, str]:
    line = next(line for line in text.splitlines() if line.startswith("FDLIST"))
    return {int(k): v for k, v in (item.split("=", 1) for item in line.split("\t")[1:])}


def session_fds(before: set[int]) -> dict[int, str]:
    return {fd: target for fd, target in fd_targets().items() if fd not in before}


def looks_like_ours(target: str) -> bool:
    return target in ("/dev/ptmx", "anon_inode:[eventfd]", "anon_inode:[pidfd]") or target.startswith(
        ("/dev/pts/", "pipe:")
    )


LAUNCHERS = {
    "os.system": lambda prog, out: os.system(f"{prog} > {out}"),
    "subprocess-close_fds-False": lambda prog, out: subprocess.run(
        [prog], stdout=open(out, "w"), close_fds=False, check=True
    ),
    "posix_spawn": lambda prog, out: os.waitpid(
        os.posix_spawn(prog, [prog], os.environ, file_actions=[(os.POSIX_SPAWN_OPEN, 1, out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)]), 0
    ),
}


@pytest.mark.parametrize("launcher", list(LAUNCHERS))
def test_programs_started_by_the_host_inherit_no_session_descriptor(bins, tmp_path, launcher):
    before = set(fd_targets())
    sessions = [quillo.Quillo("cat", True) for _ in range(4)] + [quillo.Quillo(bins["stubborn"], False)]
    try:
        ours = session_fds(before)
        assert len(ours) == 4 * len(sessions)
        out = tmp_path / "fds"
        LAUNCHERS[launcher](bins["fdlist"], out)
        inherited = parse_fdlist(out.read_text())
        assert set(inherited) & set(ours) == set()
        assert [t for t in inherited.values() if t in ours.values() and looks_like_ours(t)] == []
    finally:
        for q in sessions:
            q.close()


@pytest.mark.parametrize(
    "launches", [pytest.param(400, id="fast"), pytest.param(5000, id="long", marks=pytest.mark.long)]
)
def test_no_descriptor_leaks_while_sessions_come_and_go(bins, tmp_path, launches):
    """Programs started (os.system releases the interpreter lock around its
    fork) while another thread builds, resets and closes sessions without
    pause: none ever holds a descriptor of the terminal layer."""
    start = Snapshot.take()
    stop = threading.Event()
    errors = []
    built = [0]

    def churn():
        try:
            n = 0
            while not stop.is_set():
                q = quillo.Quillo("cat" if n % 3 else bins["hexecho"], True)
                if n % 5 == 0:
                    q.reset()
                if n % 7 == 0:
                    q.read_until_ready(timeout_ms=5, settle_ms=0)
                q.close()
                del q
                n += 1
                built[0] = n
        except BaseException as e:  # noqa: BLE001
            errors.append(repr(e))

    t = threading.Thread(target=churn)
    t.start()
    leaked = []
    try:
        out = tmp_path / "fds"
        for _ in range(launches):
            assert os.system(f"{bins['fdlist']} > {out}") == 0
            # Descriptors the host had before the sessions are its own business.
            extra = {fd: t for fd, t in parse_fdlist(out.read_text()).items() if fd > 2 and fd not in start.fds}
            leaked += [target for target in extra.values() if looks_like_ours(target)]
    finally:
        stop.set()
        t.join(60)
    assert errors == []
    assert built[0] >= 10  # sessions really came and went meanwhile
    assert leaked == []
    start.assert_restored()


def test_child_holds_only_its_own_terminal(bins):
    """Twelve sessions live at once while the host holds inheritable pipes and
    a descriptor numbered high: each child has exactly 0, 1 and 2, all on one
    terminal of its own."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    high = min(soft, 1024) - 1
    r, w = os.pipe()
    os.set_inheritable(r, True)
    os.set_inheritable(w, True)
    os.dup2(r, high, inheritable=True)
    sessions = []
    try:
        listings = []
        for _ in range(12):
            q = quillo.Quillo(bins["fdlist"], False)
            sessions.append(q)
            text = ""
            deadline = time.monotonic() + 10
            while "FDLIST" not in text or not text.endswith("\n"):
                assert time.monotonic() < deadline
                text += q.read_until_ready(timeout_ms=2000, quiet_ms=20)
            listings.append(parse_fdlist(text))
        for fds in listings:
            assert set(fds) == {0, 1, 2}
            assert len(set(fds.values())) == 1 and fds[0].startswith("/dev/pts/")
        assert len({fds[0] for fds in listings}) == len(listings)  # no two share a terminal
    finally:
        for q in sessions:
            q.close()
        for fd in (r, w, high):
            os.close(fd)


def test_sessions_never_see_each_others_input_or_output(bins):
    """Interleaved exchanges with many sessions: each child gets only what was
    written to it, and each session returns and records only its own child's
    output."""
    sessions = [quillo.Quillo(bins["hexecho"], True) for _ in range(16)]
    try:
        for q in sessions:
            assert q.read_until_ready(settle_ms=0, timeout_ms=10_000) == "(gdb) "
        expected = ["(gdb) "] * len(sessions)
        for rnd in range(5):
            for n, q in enumerate(sessions):
                secret = f"secret-{n}-{rnd}"
                reply = " ".join(f"{b:02x}" for b in (secret + "\n").encode()) + "\n(gdb) "
                assert q.send_and_read_until_ready(secret, settle_ms=0, timeout_ms=10_000) == reply
                expected[n] += reply
        for n, q in enumerate(sessions):
            assert q.get_history() == expected[n]
            assert q.read_available() == ""
    finally:
        for q in sessions:
            q.close()

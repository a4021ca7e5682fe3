"""The pseudo-terminal layer on its own: Errno texts, escalation, polling, release."""

import os
import select
import signal
import time

import pytest

from conftest import children_of, process_state, wait_until

ERRNO_CASES = [
    (0, 0, "UnknownErrno: Unknown errno"),
    (2, 2, "ENOENT: No such file or directory"),
    (9, 9, "EBADF: Bad file number"),
    (11, 11, "EAGAIN: Try again"),
    (35, 35, "EDEADLK: Resource deadlock would occur"),
    (38, 38, "ENOSYS: Function not implemented"),
    (41, 0, "UnknownErrno: Unknown errno"),
    (58, 0, "UnknownErrno: Unknown errno"),
    (95, 95, "EOPNOTSUPP: Operation not supported on transport endpoint"),
    (125, 125, "ECANCELED: Operation canceled"),
    (133, 133, "EHWPOISON: Memory page has hardware error"),
    (134, 0, "UnknownErrno: Unknown errno"),
    (-1, 0, "UnknownErrno: Unknown errno"),
]


@pytest.mark.parametrize("number,value,text", ERRNO_CASES)
def test_errno_text(hooks, number, value, text):
    assert hooks.errno_text(number) == (value, text)


def _header_table():
    import re

    table = {}
    for name in ("errno-base.h", "errno.h"):
        for line in open(f"/usr/include/asm-generic/{name}"):
            m = re.match(r"#define\s+(E\w+)\s+(\d+)\s*/\*\s*(.*?)\s*\*/", line)
            if m:
                table.setdefault(int(m.group(2)), f"{m.group(1)}: {m.group(3)}")
    return table


@pytest.mark.skipif(not os.path.exists("/usr/include/asm-generic/errno.h"), reason="no kernel headers")
def test_errno_table_matches_kernel_headers(hooks):
    exceptions = {38: "ENOSYS: Function not implemented", 125: "ECANCELED: Operation canceled"}
    table = _header_table()
    for number in range(1, 134):
        if number in (41, 58):
            continue
        assert hooks.errno_text(number) == (number, exceptions.get(number, table[number])), number


def test_spawn_missing_program_reports_enoent_and_leaves_no_child(hooks):
    before = set(children_of(os.getpid()))
    with pytest.raises(OSError) as info:
        hooks.pty_spawn("no-such-program-quillo")
    assert info.value.args == (2, "ENOENT: No such file or directory")
    assert set(children_of(os.getpid())) == before


def test_spawn_refuses_nul_without_forking(hooks):
    before = set(children_of(os.getpid()))
    with pytest.raises(OSError) as info:
        hooks.pty_spawn("ca\0t")
    assert info.value.args[0] == 22
    assert set(children_of(os.getpid())) == before


def test_spawn_not_executable_reports_eacces(hooks, tmp_path):
    target = tmp_path / "plain"
    target.write_text("data")
    with pytest.raises(OSError) as info:
        hooks.pty_spawn(str(target))
    assert info.value.args[0] == 13


def read_until(fd, needle: bytes) -> bytes:
    """What the terminal master `fd` gives until `needle` has come."""
    got = b""

    def arrived():
        nonlocal got
        if select.select([fd], [], [], 0.05)[0]:
            got += os.read(fd, 4096)
        return needle in got

    assert wait_until(arrived), got
    return got


def test_exit_without_force_leaves_stubborn_child_running(hooks, bins):
    p = hooks.pty_spawn(bins["stubborn"])
    info = hooks.pty_info(p)
    pid = info["pid"]
    read_until(info["master"], b"stubborn ready")  # says so once its handlers are in place
    # Four unanswered pauses of 100 ms, then one more after SIGKILL; the upper
    # bounds only guard against a hang, with room for a loaded machine.
    start = time.monotonic()
    assert hooks.pty_exit(p, False) is False
    elapsed = time.monotonic() - start
    assert 0.35 < elapsed < 4
    assert hooks.pty_is_alive(p) is True
    start = time.monotonic()
    assert hooks.pty_exit(p, True) is True
    assert time.monotonic() - start < 4
    assert hooks.pty_is_alive(p) is False
    assert pid not in children_of(os.getpid())
    hooks.pty_release(p)


def test_exit_ends_cooperative_child_quickly_and_reaps_it(hooks):
    # pidfd ends the pause as soon as the child is gone, where a plain sleep
    # would take the whole 100 ms: the quickest of a few runs shows it even
    # when the machine stalls some of them.
    took = []
    for _ in range(5):
        p = hooks.pty_spawn("cat")
        pid = hooks.pty_info(p)["pid"]
        start = time.monotonic()
        assert hooks.pty_exit(p, True) is True
        took.append(time.monotonic() - start)
        assert pid not in children_of(os.getpid())
        # Already ended: true at once, no signal.
        assert hooks.pty_exit(p, True) is True
        hooks.pty_release(p)
    assert min(took) < 0.09, took


def test_stopped_child_is_running_and_escalation_resumes_it(hooks):
    p = hooks.pty_spawn("cat")
    pid = hooks.pty_info(p)["pid"]
    os.kill(pid, signal.SIGSTOP)
    assert wait_until(lambda: process_state(pid) == "T")
    assert hooks.pty_is_alive(p) is True
    assert hooks.pty_exit(p, True) is True
    hooks.pty_release(p)


def test_is_alive_after_exit_and_repeated(hooks, script):
    p = hooks.pty_spawn(script("exit 0", lang="sh"))
    assert wait_until(lambda: not hooks.pty_is_alive(p))
    assert hooks.pty_is_alive(p) is False
    assert hooks.pty_is_alive(p) is False
    hooks.pty_release(p)


def test_realtime_signal_death_reports_einval_then_gone(hooks, script):
    p = hooks.pty_spawn(script("kill -s RTMIN+1 $$\nsleep 5", lang="sh"))
    error = None

    def polled_its_end():
        nonlocal error
        try:
            return not hooks.pty_is_alive(p)
        except OSError as e:
            error = e
            return True

    assert wait_until(polled_its_end)
    assert error is not None and error.args[0] == 22
    assert hooks.pty_is_alive(p) is False
    hooks.pty_release(p)


def test_raw_handle_outlives_release_and_sees_output(hooks):
    p = hooks.pty_spawn("cat")
    fd = hooks.pty_raw_handle(p)
    try:
        assert fd >= 0
        os.write(fd, b"ping\n")
        got = read_until(fd, b"ping")
        # Echo is off: "ping" comes back once, from cat itself.
        assert got.count(b"ping") == 1
        hooks.pty_release(p)
        os.fstat(fd)  # still open after release
    finally:
        os.close(fd)


def test_release_closes_master_and_ends_child(hooks):
    p = hooks.pty_spawn("cat")
    info = hooks.pty_info(p)
    hooks.pty_release(p)
    with pytest.raises(OSError):
        os.fstat(info["master"])
    assert info["pid"] not in children_of(os.getpid())


def test_host_without_terminal_records_default_control_chars(hooks):
    # The test runner's descriptors 0 and 1 are not terminals under CI.
    if os.isatty(0) or os.isatty(1):
        pytest.skip("the host has a terminal")
    p = hooks.pty_spawn("cat")
    info = hooks.pty_info(p)
    assert (info["eof_char"], info["intr_char"]) == (4, 3)
    hooks.pty_release(p)

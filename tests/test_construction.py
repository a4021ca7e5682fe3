"""Construction: the child's environment, messages, markers, and no leftovers on failure."""

import os
import time

import pytest

import quillo
from conftest import HANG_GUARD, children_of, open_fds, python_env

# A deadline no wait here reaches unless it misbehaves: a wait that must end
# by a marker or by the output stopping has to end well before it.
LONG_MS = 30_000
EARLY = LONG_MS / 1000 / 2  # seconds


def read_all(q, needle, timeout=HANG_GUARD):
    out = ""
    deadline = time.monotonic() + timeout
    while needle not in out and time.monotonic() < deadline:
        out += q.read_until_ready(timeout_ms=200, quiet_ms=50)
    return out


def test_cat_constructs_and_reports_its_settings():
    q = quillo.Quillo("cat", True)
    assert (q.get_initial_command(), q.is_interactive(), q.is_alive()) == ("cat", True, True)
    q.close()
    assert (q.get_initial_command(), q.is_interactive(), q.is_alive()) == ("cat", True, False)


def test_child_environment(bins):
    q = quillo.Quillo(bins["probe"], False)
    out = read_all(q, "ctty=")
    q.close()
    fields = dict(item.split("=", 1) for item in out.split("PROBE ", 1)[1].split())
    assert fields == {
        "fds": "0,1,2,",
        "same_tty": "1",
        "rows": "24",
        "cols": "80",
        "echo": "0",
        "leader": "1",
        "ctty": "1",
    }


SPAWN_FAILURES = [
    ("no-such-program-quillo", "ENOENT: No such file or directory"),
    ("gdb -q", "ENOENT: No such file or directory"),  # one program name, blank included
    ("", "ENOENT: No such file or directory"),
    ("/dev/null", "EACCES: Permission denied"),
    ("/etc", "EACCES: Permission denied"),
]


@pytest.mark.parametrize("command,cause", SPAWN_FAILURES)
def test_spawn_failure_message_and_no_leftovers(command, cause):
    fds = open_fds()
    kids = set(children_of(os.getpid()))
    with pytest.raises(Exception) as info:
        quillo.Quillo(command, True)
    assert type(info.value) is Exception
    assert str(info.value) == f"Failed to spawn process with command '{command}': {cause}"
    assert open_fds() == fds
    assert set(children_of(os.getpid())) == kids  # no zombie either


def test_command_is_not_split_or_given_to_a_shell(tmp_path, script):
    # A program whose name contains a blank runs as that one program.
    path = tmp_path / "with blank"
    path.write_text("#!/bin/sh\necho ran-with-blank\n")
    path.chmod(0o755)
    q = quillo.Quillo(str(path), False)
    assert "ran-with-blank" in read_all(q, "ran-with-blank")
    q.close()


def test_argument_error_spawns_nothing():
    kids = set(children_of(os.getpid()))
    with pytest.raises(TypeError):
        quillo.Quillo("cat", True, "(gdb) ")
    assert set(children_of(os.getpid())) == kids


MARKER_CASES = [
    # (markers given, output that should end the wait at once, output that should not)
    (None, "(gdb) ", "nothing here"),
    (None, "pwndbg> ", "nothing here"),
    ([], None, None),  # empty list: quiet wait
    (["> ", "> "], "ready> ", "nothing"),
    (["$ "], "sh$ ", "(gdb) "),
]


@pytest.mark.parametrize("markers,hit,miss", MARKER_CASES)
def test_markers_installed_at_construction(script, markers, hit, miss):
    child = script(
        """
        import sys
        for line in sys.stdin:
            sys.stdout.write(line.strip() + "\\n" if line.strip() else "")
            sys.stdout.write(line.rstrip("\\n").split("|", 1)[-1])
            sys.stdout.flush()
        """
    )
    q = quillo.Quillo(child, True, markers)
    try:
        if hit is None:
            # Quiet wait: returns once output stops, markers or not.
            start = time.monotonic()
            q.send_and_read_until_ready("x|(gdb) ", quiet_ms=100, timeout_ms=LONG_MS)
            assert time.monotonic() - start < EARLY
            return
        start = time.monotonic()
        out = q.send_and_read_until_ready("x|" + hit, settle_ms=0, timeout_ms=LONG_MS)
        assert out.endswith(hit)
        assert time.monotonic() - start < EARLY
        start = time.monotonic()
        out = q.send_and_read_until_ready("x|" + miss, settle_ms=0, timeout_ms=600)
        assert time.monotonic() - start >= 0.5  # ran to its deadline
    finally:
        q.close()


def test_host_with_closed_stdin_can_spawn(bins):
    import subprocess
    import sys

    code = (
        "import os, quillo, time\n"
        f"q = quillo.Quillo({bins['probe']!r}, False)\n"
        "out = ''\n"
        "deadline = time.monotonic() + 10\n"
        "while 'ctty=' not in out and time.monotonic() < deadline:\n"
        "    out += q.read_until_ready(timeout_ms=200, quiet_ms=50)\n"
        "print(out)\n"
    )
    env = python_env()
    result = subprocess.run(
        ["setsid", sys.executable, "-c", code],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
        close_fds=True,
        pass_fds=(),
        preexec_fn=lambda: os.close(0),
    )
    assert "fds=0,1,2, same_tty=1" in result.stdout, result.stdout + result.stderr

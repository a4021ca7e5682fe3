"""Long input arrives whole or is refused: a terminal in canonical mode keeps
4,095 bytes of one line and drops the rest, so shells get long commands from
a file and other whole-line readers refuse them before anything is sent."""

from __future__ import annotations

import os
import shutil
import sys
from pathlib import Path

import pytest

from quillo_agent import LineTooLong, Session
from quillo_agent.long_lines import CANONICAL_LINE_MAX
from quillo_agent.profiles import SHELL_PS1

pytestmark = pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")


def launcher_files(s: Session) -> list[str]:
    return sorted(os.listdir(s.launcher.directory))


@pytest.mark.parametrize("profile", ["bash", "sh"])
def test_shells_run_long_commands_whole(profile, tmp_path):
    with Session(profile=profile) as s:
        assert s.start().ready
        for size in (CANONICAL_LINE_MAX, 6_000, 100_000):
            reply = s.send(f"echo {'z' * size} | wc -c")
            assert reply.text == f"{size + 1}\n{SHELL_PS1}", reply.text[:200]
            assert launcher_files(s) == ["launch"]
        # Run in the shell itself: a cd and a variable stay.
        target = tmp_path / "there"
        target.mkdir()
        s.send(f"cd {target}; kept=yes; : {'y' * 5_000}")
        assert s.send("pwd; echo $kept").text == f"{target}\nyes\n{SHELL_PS1}"
        # A text of several lines with a long one runs as one piece.
        reply = s.send(f"n=0\nfor w in {'w ' * 3_000}; do n=$((n+1)); done\necho $n")
        assert reply.ready and reply.text.endswith(f"3000\n{SHELL_PS1}"), reply.text[-200:]
        # A long command still running when the call ends keeps its file
        # until the shell is back; close removes it with the launcher.
        stuck = s.send(f"sleep 30; : {'s' * 5_000}", timeout_ms=300)
        assert stuck.timed_out and len(launcher_files(s)) == 2
        directory = Path(s.launcher.directory)
    assert not directory.exists()


READERS = [
    ("c-fgets", "fgets", "got: short\n"),
    ("c-read", "read", "got: short\n"),
    ("python-readline", "readline", "got 6\n"),
]


@pytest.mark.parametrize("name, program, answer", READERS, ids=[r[0] for r in READERS])
def test_whole_line_readers_refuse_a_long_line(name, program, answer, bins):
    argv = (
        [sys.executable, "-c",
         "import sys\nwhile True: print('got', len(sys.stdin.readline()), flush=True)"]
        if program == "readline"
        else [bins["termwait"], program]
    )
    with Session(argv, markers=[]) as s:
        assert s.start().ready
        for text in ("x" * 6_000, "ok\n" + "x" * 6_000):
            with pytest.raises(LineTooLong) as refused:
                s.send(text)
            message = str(refused.value)
            assert "6,000 bytes" in message and "4,095" in message, message
            assert "nothing was sent" in message and "reads whole lines" in message
        # Nothing of the refused texts reached the program: the next line arrives alone.
        reply = s.send("short")
        assert reply.ready and reply.text == answer, reply
        # The edge: a line of exactly the limit goes through whole; one more byte does not.
        edge = s.send("y" * CANONICAL_LINE_MAX)
        whole = f"got: {'y' * CANONICAL_LINE_MAX}\n" if program != "readline" else "got 4096\n"
        assert edge.ready and edge.text == whole, edge.text[-40:]
        with pytest.raises(LineTooLong):
            s.send("y" * (CANONICAL_LINE_MAX + 1))


@pytest.mark.parametrize(
    "profile, line, answer",
    [
        ("gdb", f"echo {'q' * 6_000}\\n", "q" * 6_000 + "\n(gdb) "),
        ("python", f"len('{'q' * 6_000}')", "6000\n>>> "),
    ],
    ids=["gdb", "python"],
)
def test_line_editors_take_long_lines(profile, line, answer, monkeypatch):
    if profile == "gdb" and shutil.which("gdb") is None:
        pytest.skip("gdb is not installed (scripts/setup.sh installs it)")
    monkeypatch.delenv("DEBUGINFOD_URLS", raising=False)
    with Session(profile=profile) as s:
        assert s.start().ready
        reply = s.send(line)
        assert reply.ready and reply.text.endswith(answer), reply.text[-100:]

"""The programs in examples/ run with one command and print what they promise.

Each example exits non-zero when the program it drives does not answer as the
example expects; on top of that the test looks for the key lines, in order.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import SANITIZED

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

# (script, program it needs, lines expected in the output, in this order)
CASES = [
    (
        "gdb_session.py",
        "gdb",
        [
            ">>> s.read_until_ready(timeout_ms=",
            "'(gdb) '",
            ">>> s.send_and_read_until_ready('break add'",
            "Breakpoint 1 at ",
            ">>> s.send_and_read_until_ready('run'",
            "Breakpoint 1, add (a=2, b=3) at counter.c:",
            ">>> s.send_and_read_until_ready('next'",
            ">>> s.send_and_read_until_ready('print sum'",
            "'$1 = 5\\n'",
            ">>> s.send_and_read_until_ready('step'",
            "square (x=3) at counter.c:",
            ">>> s.send_and_read_until_ready('bt'",
            "'#0  square (x=3) at counter.c:",
            " in add (a=2, b=3)",
            " in main () at counter.c:",
            ">>> s.send_and_read_until_ready('continue'",
            "'total = 14\\n'",
            "# no prompt at the end: the wait ran out",
            ">>> s.send_ctrl_c()",
            "Program received signal SIGINT, Interrupt.",
            "'(gdb) '",
            ">>> s.send_and_read_until_ready('print ticks'",
            "'$2 = ",
            ">>> s.send_and_read_until_ready('kill'",
            "(y or n) '",
            ">>> s.send_and_read_until_ready('y'",
            ") killed]\\n'",
            ">>> s.send_and_read_until_ready('quit'",
            ">>> s.is_alive()\n    False",
            ">>> s.close()",
        ],
    ),
    (
        "python_repl.py",
        None,
        [
            "Type \"help\", \"copyright\"",
            "'>>> '",
            "send_and_read_until_ready('21 * 2')",
            "'42\\n'",
            "send_and_read_until_ready('def greet(name):')",
            "'... '",
            "\"'hello, quillo'\\n\"",
            # the colour codes the child printed are gone, the tab is kept
            "'bold red and a tab:\\tdone\\n'",
            "'after a pause\\n'",
            "'ZeroDivisionError: division by zero\\n'",
            ">>> s.is_alive()\n    False",
        ],
    ),
    (
        "quiet_shell.py",
        None,
        [
            "Quillo(\"/bin/sh\", False)",
            "'hello from /bin/sh\\n'",
            "'line 1\\n'",
            "'line 3\\n'",
            "send_and_read_until_ready('echo first; sleep 0.5; echo second')",
            "'first\\n'",
            ">>> s.read_available()",
            "'second\\n'",
            "quiet_ms=1500)",
            "'first\\n'",
            "'second\\n'",
            ">>> s.read_until_ready(timeout_ms=300)",
            "    ''",
            ">>> s.is_alive()\n    False",
        ],
    ),
    (
        "agent_loop.py",
        None,
        [
            "'45\\n'",
            "# no prompt within the budget: send Ctrl-C",
            "'KeyboardInterrupt\\n'",
            "# step interrupted",
            "'90\\n'",
            "# Ctrl-C did not help: save the history and reset",
            ">>> <reset>",
            "'False\\n'",
            "# outcomes: ['ok', 'ok', 'interrupted', 'ok', 'reset', 'ok']",
            # the transcript spans both interpreters
            "#   >>> >>> 45",
            "#   >>> 90",
            "#   >>> False",
        ],
    ),
]


def run_example(name: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    build_dir = os.environ.get("QUILLO_BUILD_DIR")
    if build_dir:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [build_dir, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, str(EXAMPLES / name)],
        capture_output=True,
        text=True,
        env=env,
        cwd=EXAMPLES.parent,
        timeout=120,  # only to catch a hang
    )


@pytest.mark.skipif(
    SANITIZED, reason="examples run in a child interpreter without the sanitizer runtime"
)
@pytest.mark.parametrize(("name", "needs", "expected"), CASES, ids=[c[0] for c in CASES])
def test_example_runs_and_prints_the_transcript(name, needs, expected):
    if needs and shutil.which(needs) is None:
        pytest.skip(f"{needs} is not installed (scripts/setup.sh installs it)")
    done = run_example(name)
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    position = 0
    for piece in expected:
        found = out.find(piece, position)
        assert found >= 0, f"{piece!r} missing after offset {position} in:\n{out}"
        position = found + len(piece)


def test_every_example_is_exercised():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(c[0] for c in CASES)

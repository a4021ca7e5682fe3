"""A real debugger, driven command by command."""

import shutil
import subprocess
from pathlib import Path

import pytest

import quillo

pytestmark = pytest.mark.skipif(shutil.which("gdb") is None, reason="gdb is not installed")


@pytest.fixture(scope="module")
def spinner(tmp_path_factory):
    out = tmp_path_factory.mktemp("gdb") / "spinner"
    source = Path(__file__).parent / "fixtures" / "spinner.c"
    subprocess.run(["cc", "-g", "-O0", "-o", str(out), str(source)], check=True)
    return str(out)


@pytest.fixture
def gdb():
    q = quillo.Quillo("gdb", True)
    yield q
    q.close()


def test_banner_and_arithmetic(gdb):
    banner = gdb.read_until_ready(timeout_ms=20000)
    assert banner.endswith("(gdb) ")
    assert "GNU gdb" in banner
    assert "\x1b" not in banner and "\r" not in banner
    assert "$1 = 42" in gdb.send_and_read_until_ready("print 6*7")


def test_breakpoint_step_print_and_interrupt(gdb, spinner):
    gdb.read_until_ready()
    send = gdb.send_and_read_until_ready
    assert send("set confirm off").endswith("(gdb) ")
    assert "Reading symbols" in send(f"file {spinner}")
    assert "Breakpoint 1" in send("break add")
    out = send("run", timeout_ms=30000)
    assert "Breakpoint 1, add (a=40, b=2)" in out
    send("next")
    assert "$1 = 42" in send("print sum")
    assert "add" in send("bt") and "main" in send("bt")
    out = send("continue", timeout_ms=1500)  # the inferior spins forever: no prompt comes
    for _ in range(20):  # however slowly the inferior gets to its line
        if "answer=42" in out:
            break
        out += gdb.read_until_ready(timeout_ms=1500)
    assert "answer=42" in out and not out.endswith("(gdb) ")
    assert gdb.send_ctrl_c() is None
    out = gdb.read_until_ready(timeout_ms=10000)
    assert "SIGINT" in out and out.endswith("(gdb) ")
    assert "answer = 42" in send("info locals")
    assert "$2 = " in send("print counter")
    send("kill")
    assert gdb.is_alive()
    history = gdb.get_history()
    assert "Breakpoint 1, add" in history and "SIGINT" in history

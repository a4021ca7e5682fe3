"""Shared fixtures: where the modules come from, child programs, leak probes,
and the waits every test uses to synchronise with a child: each waits for a
fact (a child's own output, a file, a thread's state), never for a time."""

from __future__ import annotations

import importlib
import json
import os
import shutil
import stat
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

_build_dir = os.environ.get("QUILLO_BUILD_DIR")
if _build_dir:
    # A sanitizer build: its quillo wins over the installed one.
    sys.path.insert(0, _build_dir)
_hooks_dir = os.environ.get("QUILLO_TESTHOOKS_DIR")
if _hooks_dir and _hooks_dir not in sys.path:
    sys.path.append(_hooks_dir)
# Children must not inherit the sanitizer runtime preloaded into this interpreter;
# only Python hosts that load quillo need it again (see python_env).
_PRELOAD = os.environ.pop("LD_PRELOAD", None)

FIXTURES = Path(__file__).parent / "fixtures"
SANITIZED = bool(os.environ.get("QUILLO_SANITIZED"))
# ThreadSanitizer's shadow memory makes the host's resident size no measure of ours.
THREAD_SANITIZED = "libtsan" in (_PRELOAD or "")


@pytest.fixture(scope="session")
def hooks():
    """The private test module (built by scripts/test.sh)."""
    try:
        return importlib.import_module("_quillo_testhooks")
    except ImportError:
        pytest.skip("_quillo_testhooks not built (run the tests through scripts/test.sh)")


@pytest.fixture(scope="session")
def bins(tmp_path_factory) -> dict[str, str]:
    """The C fixture programs in tests/fixtures, compiled once per run."""
    out = tmp_path_factory.mktemp("bin")
    cc = shutil.which("cc") or shutil.which("gcc")
    assert cc, "a C compiler is needed for the fixture programs"
    built = {}
    for source in sorted(FIXTURES.glob("*.c")):
        target = out / source.stem
        subprocess.run([cc, "-O1", "-o", str(target), str(source)], check=True)
        built[source.stem] = str(target)
    return built


@pytest.fixture
def script(tmp_path):
    """make(body, lang="python") -> path of an executable script running `body`.

    A session runs one program name without arguments, so children that need
    arguments or logic are written as scripts.
    """
    counter = iter(range(1_000_000))

    def make(body: str, lang: str = "python") -> str:
        path = tmp_path / f"child{next(counter)}"
        shebang = f"#!{sys.executable} -u" if lang == "python" else "#!/bin/sh"
        path.write_text(shebang + "\n" + textwrap.dedent(body).lstrip("\n"))
        path.chmod(path.stat().st_mode | stat.S_IXUSR)
        return str(path)

    return make


def python_env(**extra: str) -> dict[str, str]:
    """Environment for a Python subprocess that imports quillo the way this run does."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **extra)
    if _PRELOAD:
        env["LD_PRELOAD"] = _PRELOAD
    return env


def run_host(code: str, *, timeout: float = 300, **popen) -> dict:
    """Runs `code` in a fresh interpreter that imports quillo like this run does;
    the host prints one JSON object as its last line of standard output."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=python_env(),
        **popen,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def open_fds() -> set[int]:
    return {int(n) for n in os.listdir("/proc/self/fd")}


def children_of(pid: int) -> list[int]:
    """Direct children of `pid`, zombies included."""
    try:
        text = Path(f"/proc/{pid}/task/{pid}/children").read_text()
    except (FileNotFoundError, ProcessLookupError):
        return []
    return [int(p) for p in text.split()]


def process_state(pid: int) -> str | None:
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError, IndexError):
        # ProcessLookupError: the process ended between opening the file and reading it.
        return None


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


# ---------------------------------------------------------------- waiting for facts

# How long a test waits for something that must happen (a child's marker, a
# file, a thread ending) before it fails. Only a guard against hangs, far beyond
# what a loaded machine needs; never a speed check.
HANG_GUARD = 30.0


def wait_until(predicate, timeout: float = HANG_GUARD, step: float = 0.01):
    """Polls `predicate` until it holds or `timeout` seconds pass; returns its
    last value, so that `assert wait_until(...)` fails at the ceiling."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def read_available_until(q, needle: str, timeout: float = HANG_GUARD) -> str:
    """Everything `read_available` returns, call after call, until `needle` is in it."""
    out = ""

    def arrived():
        nonlocal out
        out += q.read_available()
        return needle in out

    assert wait_until(arrived, timeout), out
    return out


def on_the_wire(text: str) -> int:
    """The raw bytes a child's `text` takes on the terminal (ONLCR: LF -> CR LF)."""
    return len(text.encode()) + text.count("\n")


def reader_threads() -> set[int]:
    """Thread ids of this process's session readers (threads named "quillo_reader")."""
    found = set()
    for tid in os.listdir("/proc/self/task"):
        try:
            if Path(f"/proc/self/task/{tid}/comm").read_text().strip() == "quillo_reader":
                found.add(int(tid))
        except FileNotFoundError:
            pass
    return found


def new_reader(before: set[int]) -> int:
    """The one reader thread started since `before` (a `reader_threads()` snapshot)."""
    (tid,) = reader_threads() - before
    return tid


def open_session(*args):
    """quillo.Quillo(*args) and the thread id of its reader."""
    import quillo

    before = reader_threads()
    q = quillo.Quillo(*args)
    return q, new_reader(before)


def bytes_read(reader: int) -> int | None:
    """How many bytes the reader thread `reader` has read from its terminal so
    far (the thread's own `rchar`), or None once it has ended."""
    try:
        io = Path(f"/proc/self/task/{reader}/io").read_text()
    except (FileNotFoundError, ProcessLookupError):
        return None
    return int(io.split("rchar:", 1)[1].split()[0])


def wait_queued(reader: int, raw_bytes: int, timeout: float = HANG_GUARD) -> None:
    """Waits until the reader thread `reader` has queued `raw_bytes` bytes of
    output in all, so that a read finds them without waiting.

    A reader reads the terminal, queues what it read, and only then sleeps in
    its next poll: once its reads have returned that many bytes and it sleeps,
    they are queued. A reader that has ended has queued everything it read."""

    def queued():
        read = bytes_read(reader)
        try:
            state = Path(f"/proc/self/task/{reader}/stat").read_text().rsplit(")", 1)[1].split()[0]
        except (FileNotFoundError, ProcessLookupError):
            return True  # ended
        return read is None or (read >= raw_bytes and state == "S")

    assert wait_until(queued, timeout), f"reader {reader} has not queued {raw_bytes} bytes"

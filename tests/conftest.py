"""Shared fixtures: where the modules come from, child programs, leak probes."""

from __future__ import annotations

import importlib
import json
import os
import shutil
import stat
import subprocess
import sys
import textwrap
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
    except FileNotFoundError:
        return []
    return [int(p) for p in text.split()]


def process_state(pid: int) -> str | None:
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, IndexError):
        return None


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))

"""The type stubs in quillo-stubs/ state what the module really does.

stubtest compares every name, parameter, default and kind with the imported
module; it cannot see return types, so those are checked against a live
session. The examples must pass mypy --strict and basedpyright --strict
against the stubs.
"""

from __future__ import annotations

import ast
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quillo
from conftest import SANITIZED

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "quillo-stubs" / "__init__.pyi"
EXAMPLES = ROOT / "examples"

needs_plain_build = pytest.mark.skipif(
    SANITIZED, reason="the checker imports quillo in a child interpreter without the sanitizer"
)


@pytest.fixture
def stub_dir(tmp_path: Path) -> Path:
    """A search-path directory holding the stubs as the package `quillo`."""
    target = tmp_path / "stubs" / "quillo"
    target.mkdir(parents=True)
    shutil.copy(STUB, target / "__init__.pyi")
    return tmp_path / "stubs"


def child_env(**extra: str) -> dict[str, str]:
    env = dict(os.environ)
    build_dir = os.environ.get("QUILLO_BUILD_DIR")
    if build_dir:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [build_dir, env.get("PYTHONPATH")]))
    env.update(extra)
    return env


def stub_methods() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB.read_text())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Quillo"]
    return {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}


@needs_plain_build
def test_stubtest_finds_no_difference(stub_dir, tmp_path):
    pytest.importorskip("mypy", reason="mypy is in requirements-dev.txt")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quillo"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=child_env(MYPYPATH=str(stub_dir)),
        timeout=300,  # only to catch a hang
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success" in done.stdout


def test_return_types_match_a_live_session():
    s = quillo.Quillo("cat", False, [])
    # Every method the stub declares, called once; close and reset last.
    calls = {
        "set_ready_markers": lambda: s.set_ready_markers(["$ "]),
        "read_until_ready": lambda: s.read_until_ready(timeout_ms=20),
        "send_and_read_until_ready": lambda: s.send_and_read_until_ready("hi", timeout_ms=2000),
        "read_available": lambda: s.read_available(),
        "send_ctrl_c": lambda: s.send_ctrl_c(),
        "get_history": lambda: s.get_history(),
        "is_alive": lambda: s.is_alive(),
        "is_interactive": lambda: s.is_interactive(),
        "get_initial_command": lambda: s.get_initial_command(),
        "reset": lambda: s.reset(),
        "close": lambda: s.close(),
    }
    methods = stub_methods()
    assert set(methods) - {"__new__"} == set(calls)
    assert ast.unparse(methods["__new__"].returns) == "Quillo"
    try:
        for name, call in calls.items():
            declared = ast.unparse(methods[name].returns)
            assert type(call()).__name__ == {"None": "NoneType"}.get(declared, declared), name
    finally:
        s.close()


def test_stub_declares_exactly_the_module_names():
    tree = ast.parse(STUB.read_text())
    declared = {n.name for n in tree.body if isinstance(n, ast.ClassDef)}
    (all_node,) = [
        n for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"
    ]
    assert declared == set(ast.literal_eval(all_node.value)) == set(quillo.__all__)


@needs_plain_build
def test_examples_pass_mypy_strict(stub_dir, tmp_path):
    pytest.importorskip("mypy", reason="mypy is in requirements-dev.txt")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         str(EXAMPLES)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=child_env(MYPYPATH=str(stub_dir)),
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_pass_basedpyright_strict(stub_dir, tmp_path):
    tool = Path(sys.executable).parent / "basedpyright"
    if not tool.exists():
        found = shutil.which("basedpyright")
        if found is None:
            pytest.skip("basedpyright is not installed (it is in requirements-dev.txt)")
        tool = Path(found)
    # The configuration lives apart from the stubs so that they are found only
    # through stubPath, never as a local package.
    config_dir = tmp_path / "config"
    config_dir.mkdir()
    config = config_dir / "pyrightconfig.json"
    config.write_text(
        json.dumps(
            {
                "include": [str(EXAMPLES)],
                "stubPath": str(stub_dir),
                "typeCheckingMode": "strict",
                "pythonVersion": f"{sys.version_info.major}.{sys.version_info.minor}",
            }
        )
    )
    done = subprocess.run(
        [str(tool), "--project", str(config)],
        capture_output=True,
        text=True,
        cwd=config_dir,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "0 errors" in done.stdout

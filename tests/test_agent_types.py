"""quillo_agent is typed: mypy --strict passes on the package (py.typed)."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent / "quillo_agent"


def test_mypy_strict_passes_on_quillo_agent(tmp_path):
    pytest.importorskip("mypy", reason="mypy is in requirements-dev.txt")
    pytest.importorskip("mcp", reason="quillo_agent.mcp_server is checked against the mcp SDK")
    assert (PACKAGE / "py.typed").exists()
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), str(PACKAGE)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stdout + done.stderr

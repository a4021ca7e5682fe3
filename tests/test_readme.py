"""README.md stays true: its Python samples run, its API section covers every
method with its real signature, and the files it points to exist."""

from __future__ import annotations

import gc
import re
import shutil
from pathlib import Path

import pytest

import quillo

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()


def python_blocks() -> list[tuple[str, str]]:
    """(id, code) of every ```python block, named after the heading above it."""
    blocks: list[tuple[str, str]] = []
    heading = "top"
    fence: str | None = None  # the language of the open block
    code: list[str] = []
    for line in README.splitlines(keepends=True):
        if fence is None:
            if line.startswith("```"):
                fence, code = line[3:].strip(), []
            elif line.startswith("#"):
                heading = re.sub(r"[^a-z0-9]+", "-", line.lower()).strip("-")
        elif line.startswith("```"):
            if fence == "python":
                number = sum(1 for name, _ in blocks if name.rsplit("-", 1)[0] == heading) + 1
                blocks.append((f"{heading}-{number}", "".join(code)))
            fence = None
        else:
            code.append(line)
    assert fence is None, "README.md has an unclosed code block"
    return blocks


BLOCKS = python_blocks()


def test_the_readme_has_samples():
    # Guards the extraction itself: a changed fence style must not silently
    # turn every sample test into nothing.
    assert len(BLOCKS) >= 6


@pytest.mark.parametrize("code", [code for _, code in BLOCKS], ids=[name for name, _ in BLOCKS])
def test_sample_runs(code, tmp_path, monkeypatch):
    for tool in ("gdb", "cc"):
        if re.search(rf"\b{tool}\b", code) and shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed (scripts/setup.sh installs it)")
    monkeypatch.chdir(tmp_path)
    scope = {"__name__": "readme_sample"}
    try:
        exec(compile(code, "README.md", "exec"), scope)
    finally:
        # A sample's functions and its globals form a cycle; collected later,
        # on whatever thread the collector happens to run (a session's), a
        # Quillo the sample made here would be dropped off its own thread.
        scope.clear()
        gc.collect()


def public_methods() -> list[str]:
    return [name for name in vars(quillo.Quillo) if not name.startswith("_")]


@pytest.mark.parametrize("name", public_methods())
def test_api_section_shows_the_real_signature(name):
    signature = getattr(quillo.Quillo, name).__text_signature__
    signature = signature.replace("($self, ", "(").replace("($self)", "()")
    assert f"`s.{name}{signature}`" in README


def test_api_section_shows_the_constructor_signature():
    assert f"### `Quillo{quillo.Quillo.__text_signature__}`" in README


def test_links_and_scripts_exist():
    targets = set(re.findall(r"\]\(((?!https?:|#)[^)]+)\)", README))
    targets |= set(re.findall(r"(?<![\w/])(scripts/[\w.-]+\.sh)", README))
    assert "scripts/demo.sh" in targets and "scripts/test.sh" in targets
    missing = sorted(t for t in targets if not (ROOT / t).exists())
    assert not missing, f"README.md points to missing files: {missing}"

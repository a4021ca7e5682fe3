"""quillo_agent's launcher: argv, cwd and environment reach the program
exactly, a program that cannot start is a clear error, and the private
launcher files never outlive their session."""

from __future__ import annotations

import json
import os
import stat
import sys
import tempfile
from pathlib import Path

import pytest

import quillo_agent.session
from quillo_agent import Launcher, LaunchError, Session

# Prints what it got, then a marker the session waits for.
REPORT = (
    "import json, os, sys; "
    "print(json.dumps({'argv': sys.argv[1:], 'cwd': os.getcwd(), "
    "'set': os.environ.get('QA_SET'), 'unset': 'QA_UNSET' in os.environ}) + '<end>', end='')"
)
END = "<end>"

pytestmark = pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")


@pytest.fixture(autouse=True)
def private_tmp(tmp_path, monkeypatch) -> Path:
    """Launchers of this test go to a directory of its own, to be counted."""
    where = tmp_path / "launchers"
    where.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(where))
    return where


def report(argv_tail: list[str], **kw) -> dict:
    with Session([sys.executable, "-c", REPORT, *argv_tail], markers=[END], **kw) as s:
        reply = s.read(timeout_ms=15_000)
    # The program prints its report and exits: the call ends at the exit.
    assert reply.exited and reply.text.endswith(END), reply
    return json.loads(reply.text.strip().removesuffix(END))


@pytest.mark.parametrize(
    "args",
    [
        ["two words", "  lead and trail  "],
        ["it's", '"double"', "a'b\"c", "'"],
        ["$(touch pwned)", "`touch pwned`", "$HOME", "${PATH}", "~", "*", "?"],
        ["; touch pwned", "a && b", "| cat", "> out", "&", "#comment"],
        ["line one\nline two", "\ttab", "trailing\n", "back\\slash"],
        ["héllo", "日本語", "emoji 🐍", "\u00a0nbsp"],
        ["", "x", "", ""],
        ["-e", "--", "-c", "exit 3"],
    ],
    ids=["spaces", "quotes", "expansions", "separators", "newlines", "non-ascii", "empty", "options"],
)
def test_arguments_arrive_verbatim(args, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    got = report(args, cwd=str(tmp_path))
    assert got["argv"] == args
    assert not (tmp_path / "pwned").exists()
    assert not (tmp_path / "out").exists()


def test_cwd_and_environment_changes_arrive(tmp_path, monkeypatch):
    monkeypatch.setenv("QA_UNSET", "inherited")
    monkeypatch.setenv("QA_SET", "inherited")
    value = "new value with 'quotes', $(x) and a\nnewline"
    got = report([], cwd=str(tmp_path), env={"QA_SET": value}, unset_env=["QA_UNSET"])
    assert got == {"argv": [], "cwd": str(tmp_path), "set": value, "unset": False}
    # Without changes the child inherits the host's environment and directory.
    got = report([])
    assert got == {"argv": [], "cwd": os.getcwd(), "set": "inherited", "unset": True}


def write_program(path: Path, text: str = "#!/bin/sh\necho ran-$0\n") -> Path:
    path.write_text(text)
    path.chmod(0o755)
    return path


def test_program_found_on_the_childs_path_and_relative_to_cwd(tmp_path):
    bindir = tmp_path / "bin"
    bindir.mkdir()
    write_program(bindir / "only-here")
    with Session(["only-here"], env={"PATH": str(bindir)}, markers=[]) as s:
        assert s.launcher.program == str(bindir / "only-here")
        assert f"ran-{bindir}/only-here" in s.read(timeout_ms=10_000).text
    with Session(["./only-here"], cwd=str(bindir), markers=[]) as s:
        assert f"ran-{bindir}/only-here" in s.read(timeout_ms=10_000).text


@pytest.mark.parametrize(
    "argv, kw, error, message",
    [
        (["no-such-program-qa"], {}, LaunchError, "'no-such-program-qa': not found on PATH"),
        (["./missing"], {}, LaunchError, "missing does not exist"),
        (["./dir"], {}, LaunchError, "dir is a directory"),
        (["./plain"], {}, LaunchError, "plain is not executable"),
        (["sh"], {"cwd": "/no/such/dir"}, LaunchError, "working directory '/no/such/dir'"),
        (["sh"], {"env": {"PATH": "/nowhere"}}, LaunchError, "'sh': not found on PATH (/nowhere)"),
        ([""], {}, LaunchError, "the program name is empty"),
        ([], {}, ValueError, "argv is empty"),
        ("sh -i", {}, TypeError, "argv must be a list of str"),
        (["sh", 3], {}, TypeError, "argv[1] must be a str, not int"),
        (["sh", "a\0b"], {}, ValueError, "argv[1] contains a NUL"),
        (["sh"], {"env": {"A-B": "1"}}, ValueError, "'A-B' is not a shell name"),
        (["sh"], {"env": {"A": 1}}, TypeError, "env['A'] must be a str"),
        (["sh"], {"unset_env": ["1X"]}, ValueError, "'1X' is not a shell name"),
    ],
)
def test_a_program_that_cannot_start_is_a_clear_error(
    argv, kw, error, message, tmp_path, monkeypatch, private_tmp
):
    (tmp_path / "dir").mkdir()
    (tmp_path / "plain").write_text("#!/bin/sh\n")
    monkeypatch.chdir(tmp_path)
    threads = {t.ident for t in quillo_agent.session.threading.enumerate()}
    with pytest.raises(error) as caught:
        Session(argv, **kw)
    assert message in str(caught.value)
    assert list(private_tmp.iterdir()) == []
    assert {t.ident for t in quillo_agent.session.threading.enumerate()} == threads


def test_launcher_is_private_and_gone_after_close(private_tmp):
    s = Session(["cat"], markers=[])
    directory = Path(s.launcher.directory)
    assert directory.parent == private_tmp
    assert stat.S_IMODE(directory.stat().st_mode) == 0o700
    assert stat.S_IMODE(Path(s.launcher.path).stat().st_mode) == 0o700
    s.reset()  # reset runs the same launcher again
    assert s.is_alive()
    s.close()
    assert not directory.exists()
    assert list(private_tmp.iterdir()) == []


def test_launcher_gone_when_the_core_fails_to_start(monkeypatch, private_tmp):
    # As the core reports a spawn failure (say, no pseudo-terminal left).
    def failing(*args):
        raise Exception("Failed to spawn process with command '...': EMFILE: Too many open files")

    monkeypatch.setattr(quillo_agent.session, "Quillo", failing)
    with pytest.raises(LaunchError, match=r"Failed to start 'cat': .*EMFILE"):
        Session(["cat"])
    assert list(private_tmp.iterdir()) == []


def test_launcher_removed_when_dropped(private_tmp):
    launcher = Launcher(["cat"])
    assert Path(launcher.path).exists()
    del launcher
    assert list(private_tmp.iterdir()) == []

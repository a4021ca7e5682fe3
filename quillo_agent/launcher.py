"""The per-session launcher: the one program path a `Quillo` runs.

A `Quillo` starts exactly one program name, with no arguments and the host's
working directory and environment. To give a session an argv, a cwd and
environment changes, each session gets a private launcher: a directory made
by `tempfile.mkdtemp` (mode 0700, readable by this user only) holding one
executable `/bin/sh` script that changes directory, applies the environment
changes and `exec`s the program with the arguments, each one single-quoted, so
the shell performs no word splitting, globbing or expansion on any of them.
The shell is replaced by the program at once, so it costs one `exec` at start
and nothing afterwards.

Everything that can be checked before the child starts is checked here, so a
program that cannot be started is a `LaunchError` that names it and says why,
instead of a shell's message in the session's output.
"""

from __future__ import annotations

import os
import re
import shutil
import stat
import tempfile
import weakref
from collections.abc import Mapping, Sequence

__all__ = ["LaunchError", "Launcher", "resolve_program"]

# Names the shell can assign and export. Anything else is refused, rather
# than silently passed to the program in some other form.
_ENV_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
SCRIPT_NAME = "launch"


class LaunchError(Exception):
    """The program cannot be started; the message names it and says why."""


def _quote(word: str) -> str:
    """`word` as one single-quoted shell word, taken literally by sh."""
    return "'" + word.replace("'", "'\\''") + "'"


def _check_text(what: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{what} contains a NUL character: {value!r}")
    return value


def resolve_program(program: str, cwd: str, path: str | None) -> str:
    """The absolute path `program` runs as, or LaunchError saying why not.

    A name with a slash is taken relative to `cwd`; a bare name is looked up
    in `path` (the child's PATH, os.defpath when unset), as execvp does.
    """
    if not program:
        raise LaunchError("Failed to start '': the program name is empty")
    if "/" in program:
        full = os.path.normpath(os.path.join(cwd, program))
        if not os.path.exists(full):
            raise LaunchError(f"Failed to start {program!r}: {full} does not exist")
        if os.path.isdir(full):
            raise LaunchError(f"Failed to start {program!r}: {full} is a directory")
        if not os.access(full, os.X_OK):
            raise LaunchError(f"Failed to start {program!r}: {full} is not executable")
        return full
    search = os.defpath if path is None else path
    found = shutil.which(program, path=search)
    if found is None:
        raise LaunchError(f"Failed to start {program!r}: not found on PATH ({search})")
    return os.path.join(cwd, found) if not os.path.isabs(found) else found


class Launcher:
    """A private launcher script for one argv, cwd and environment change.

    `path` is the program to give `Quillo`. The script stays until `remove()`
    (or garbage collection, or interpreter exit) because `Quillo.reset()` runs
    it again. The program runs with argv[0] set to its resolved absolute path;
    the other arguments arrive exactly as given.
    """

    def __init__(
        self,
        argv: Sequence[str],
        cwd: str | None = None,
        env: Mapping[str, str] | None = None,
        unset_env: Sequence[str] = (),
    ) -> None:
        if isinstance(argv, (str, bytes)) or not isinstance(argv, Sequence):
            raise TypeError(f"argv must be a list of str, not {type(argv).__name__}")
        args = [_check_text(f"argv[{i}]", a) for i, a in enumerate(argv)]
        if not args:
            raise ValueError("argv is empty: it needs at least the program")
        env = dict(env or {})
        for name, value in env.items():
            self._check_name(name)
            _check_text(f"env[{name!r}]", value)
        unset = list(unset_env)
        for name in unset:
            self._check_name(name)

        if cwd is None:
            where = os.getcwd()
        else:
            where = os.path.abspath(_check_text("cwd", cwd))
            if not os.path.isdir(where):
                raise LaunchError(
                    f"Failed to start {args[0]!r}: working directory {cwd!r} is not a directory"
                )
        if "PATH" in env:
            path: str | None = env["PATH"]
        elif "PATH" in unset:
            path = None
        else:
            path = os.environ.get("PATH")
        self.program = resolve_program(args[0], where, path)
        self.argv = [self.program, *args[1:]]

        lines = ["#!/bin/sh", f"cd {_quote(where)} || exit 126"]
        lines += [f"unset {name}" for name in unset if name not in env]
        lines += [f"{name}={_quote(value)}; export {name}" for name, value in env.items()]
        lines.append("exec " + " ".join(_quote(a) for a in self.argv))
        script = "\n".join(lines) + "\n"

        self.directory = tempfile.mkdtemp(prefix="quillo-agent-")
        self._finalizer = weakref.finalize(self, shutil.rmtree, self.directory, True)
        try:
            self.path = os.path.join(self.directory, SCRIPT_NAME)
            fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o700)
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(script)
            os.chmod(self.path, stat.S_IRWXU)
        except BaseException:
            self.remove()
            raise

    @staticmethod
    def _check_name(name: object) -> None:
        if not isinstance(name, str) or not _ENV_NAME.match(name):
            raise ValueError(
                f"environment variable name {name!r} is not a shell name ([A-Za-z_][A-Za-z0-9_]*)"
            )

    def remove(self) -> None:
        """Deletes the launcher directory; later calls do nothing."""
        self._finalizer()

    @property
    def removed(self) -> bool:
        return not self._finalizer.alive

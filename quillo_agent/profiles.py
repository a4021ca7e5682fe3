"""Profiles: what a session needs to know about the program it drives.

A profile is a small declarative record: the default argv, the ready markers,
environment changes for the child and the lines sent once the first prompt is
there. Define your own by constructing `Profile`; `dataclasses.replace` makes
a variant of a built-in one.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from types import MappingProxyType

__all__ = ["Profile", "PROFILES", "get_profile", "SHELL_PS1", "SHELL_PS2", "GDB_PAGER_PROMPTS", "PDB_MORE"]

# The shell profiles' prompts: text no command prints by accident, so the end
# of every command is known exactly.
SHELL_PS1 = "__quillo_ready__$ "
SHELL_PS2 = "__quillo_more__> "

# pdb's continuation prompt (Python 3.13 and later take statements over several lines).
PDB_MORE = "...   "

# gdb's pager question (recent and older wording). With `set pagination off`
# it should never show; if a command turns paging back on, the wait still ends.
GDB_PAGER_PROMPTS = (
    "--Type <RET> for more, q to quit, c to continue without paging--",
    "---Type <return> to continue, or q <return> to quit---",
)


def _frozen(mapping: Mapping[str, str] | None = None) -> Mapping[str, str]:
    return MappingProxyType(dict(mapping or {}))


@dataclass(frozen=True)
class Profile:
    """How to drive one kind of program.

    - `argv`: used when the caller gives none (None: the caller must give one).
    - `markers`: ready markers, tested in order; empty means quiet waits.
    - `env`, `unset_env`: set and removed in the child's environment (the
      caller's own `env` and `unset_env` are applied on top).
    - `startup`: lines sent one by one after the first prompt.
    - `finish_blocks_at`: a continuation prompt (Python's "... "): a send of
      several lines that leaves the program at it gets one empty line more,
      so a block sent as one piece runs. None turns that off.
    - `marker_env`: environment variables the markers depend on (a shell's
      PS1 and PS2): a caller's `env` or `unset_env` naming one is refused,
      unless the caller gives its own markers.
    - `long_lines_run_as_file`: a POSIX shell: a text with a line longer
      than a canonical terminal holds is written to a private file and run
      with `. FILE` (see `long_lines.py`), instead of being refused.
    """

    name: str
    argv: tuple[str, ...] | None
    markers: tuple[str, ...]
    env: Mapping[str, str] = field(default_factory=_frozen)
    unset_env: tuple[str, ...] = ()
    startup: tuple[str, ...] = ()
    description: str = ""
    finish_blocks_at: str | None = None
    marker_env: tuple[str, ...] = ()
    long_lines_run_as_file: bool = False

    def check_env(self, env: Mapping[str, str], unset_env: Sequence[str]) -> None:
        """ValueError if the caller's environment changes touch `marker_env`."""
        for name in self.marker_env:
            if name in env or name in unset_env:
                how = "sets" if name in env else "unsets"
                raise ValueError(
                    f"env {how} {name}, which the {self.name} profile's ready markers "
                    f"depend on ({name}={self.env.get(name, '')!r}); leave it to the "
                    f"profile, or give your own markers"
                )


GDB = Profile(
    name="gdb",
    argv=("gdb", "-q"),
    markers=("pwndbg> ", "(gdb) ", "(y or n) ", "[y/n] ", *GDB_PAGER_PROMPTS),
    unset_env=("DEBUGINFOD_URLS",),
    startup=("set pagination off", "set confirm off", "set width 0"),
    description="gdb (and pwndbg): prompts, yes/no questions, the pager; no paging, "
    "no confirmations, no debuginfod download question",
)

PYTHON = Profile(
    name="python",
    argv=("python3", "-q", "-i"),
    markers=(">>> ", "... "),
    env=_frozen({"PYTHON_BASIC_REPL": "1"}),
    unset_env=("PYTHONSTARTUP",),
    description="the Python REPL, the basic one (no screen painting)",
    finish_blocks_at="... ",
)

PDB = Profile(
    name="pdb",
    argv=None,
    markers=("(Pdb) ", PDB_MORE),
    env=_frozen({"PYTHON_BASIC_REPL": "1"}),
    unset_env=("PYTHONSTARTUP",),
    description="pdb, e.g. argv ['python3', '-m', 'pdb', 'script.py']",
    finish_blocks_at=PDB_MORE,
)

SH = Profile(
    name="sh",
    argv=("sh", "-i"),
    markers=(SHELL_PS1, SHELL_PS2),
    env=_frozen({"PS1": SHELL_PS1, "PS2": SHELL_PS2}),
    unset_env=("ENV", "PROMPT_COMMAND"),
    description="a POSIX shell with unique PS1/PS2 markers",
    marker_env=("PS1", "PS2"),
    long_lines_run_as_file=True,
)

BASH = Profile(
    name="bash",
    argv=("bash", "--norc", "--noprofile", "--noediting", "-i"),
    markers=(SHELL_PS1, SHELL_PS2),
    env=_frozen({"PS1": SHELL_PS1, "PS2": SHELL_PS2}),
    unset_env=("ENV", "BASH_ENV", "PROMPT_COMMAND"),
    description="bash without start-up files or line editing, unique PS1/PS2 markers",
    marker_env=("PS1", "PS2"),
    long_lines_run_as_file=True,
)

PROFILES: Mapping[str, Profile] = MappingProxyType(
    {p.name: p for p in (GDB, PYTHON, PDB, SH, BASH)}
)


def get_profile(name: str) -> Profile:
    """The built-in profile called `name`, or ValueError listing the names."""
    try:
        return PROFILES[name]
    except KeyError:
        raise ValueError(
            f"unknown profile {name!r}; known: {', '.join(sorted(PROFILES))}"
        ) from None

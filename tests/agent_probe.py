"""Process probes for the quillo_agent tests: a session's child is spawned by
the session's own thread, so it is listed under that thread in /proc."""

from __future__ import annotations

import os
import time
from pathlib import Path


def all_children(pid: int | None = None) -> set[int]:
    """Direct children of `pid` (default: this process), spawned by any of its threads."""
    pid = os.getpid() if pid is None else pid
    found: set[int] = set()
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except (FileNotFoundError, ProcessLookupError):
        return found
    for tid in tids:
        try:
            found.update(map(int, Path(f"/proc/{pid}/task/{tid}/children").read_text().split()))
        except (FileNotFoundError, ProcessLookupError):  # gone meanwhile
            continue
    return found


def descendants(pid: int) -> set[int]:
    found: set[int] = set()
    todo = [pid]
    while todo:
        for child in all_children(todo.pop()) - found:
            found.add(child)
            todo.append(child)
    return found


def wait_for(condition, what: str, ceiling_s: float = 30.0) -> None:
    """Polls `condition` every 10 ms; fails after `ceiling_s` (a hang, not a timing)."""
    end = time.monotonic() + ceiling_s
    while not condition():
        if time.monotonic() > end:
            raise AssertionError(f"still not true after {ceiling_s} s: {what}")
        time.sleep(0.01)

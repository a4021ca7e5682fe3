"""What a host process owns, for the stress tests: descriptors, threads,
children (zombies included), processes left in a child's session, resident
memory. Each probe reads /proc directly."""

from __future__ import annotations

import gc
import os
from dataclasses import dataclass
from pathlib import Path

from conftest import children_of, open_fds, process_state, thread_count, wait_until  # noqa: F401 - re-exported


def rss_bytes() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS in /proc/self/status")


def zombies_of(pid: int) -> list[int]:
    return [c for c in children_of(pid) if process_state(c) == "Z"]


def session_members(sid: int) -> list[int]:
    """Live processes (zombies excluded) whose session id is `sid`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            fields = Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()
        except (FileNotFoundError, ProcessLookupError, IndexError):
            continue
        # fields[0] is the state, fields[3] the session id
        if int(fields[3]) == sid and fields[0] != "Z":
            found.append(int(entry))
    return found


def fd_targets(pid: int | str = "self") -> dict[int, str]:
    targets = {}
    for name in os.listdir(f"/proc/{pid}/fd"):
        try:
            targets[int(name)] = os.readlink(f"/proc/{pid}/fd/{name}")
        except FileNotFoundError:
            pass
    return targets


@dataclass(frozen=True)
class Snapshot:
    fds: frozenset[int]
    threads: int
    children: frozenset[int]

    @staticmethod
    def take() -> "Snapshot":
        gc.collect()
        return Snapshot(frozenset(open_fds()), thread_count(), frozenset(children_of(os.getpid())))

    def differences(self) -> dict[str, object]:
        """What differs from now; empty once everything has returned."""
        now = Snapshot.take()
        diff: dict[str, object] = {}
        if now.fds != self.fds:
            diff["fds"] = {
                "added": {fd: target for fd, target in fd_targets().items() if fd not in self.fds},
                "removed": sorted(self.fds - now.fds),
            }
        if now.threads != self.threads:
            diff["threads"] = (self.threads, now.threads)
        if now.children != self.children:
            diff["children"] = {
                pid: process_state(pid) for pid in now.children ^ self.children
            }
        return diff

    def assert_restored(self, timeout: float = 5.0) -> None:
        """Everything is back to this snapshot (allowing `timeout` seconds for
        threads and children to finish leaving)."""
        wait_until(lambda: not self.differences(), timeout)
        diff = self.differences()
        assert diff == {}, diff
        assert set(zombies_of(os.getpid())) <= self.children

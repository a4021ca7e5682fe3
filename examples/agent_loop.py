#!/usr/bin/env python3
"""An agent-style loop over an interactive program, with recovery from hangs.

    python examples/agent_loop.py

The "agent" here follows a fixed plan; a real one would choose its next input
from what it has read so far. The loop shows what any such agent needs:

* a time budget per step: a reply that does not end with the prompt within
  the budget means the program is busy or hung;
* recovery, first gently: `send_ctrl_c()` and wait for the prompt again;
* and then firmly: if the program ignores Ctrl-C, `reset()` ends it and
  starts the same command again with the same markers;
* a transcript: `get_history()` returns everything the program printed (up to
  the last 4 MiB), cleaned. `reset()` starts a new, empty history, so the
  agent saves the old one first.

The program driven is the interactive Python interpreter. One step hangs in a
way Ctrl-C can cure, one in a way it cannot.
"""

from __future__ import annotations

import os
import sys
import time
from dataclasses import dataclass, field

from quillo import Quillo

PROMPTS = (">>> ", "... ")
STEP_BUDGET_MS = 1_500  # how long one step may take before the agent steps in
RECOVERY_MS = 1_500  # how long to wait for the prompt after Ctrl-C

PLAN = [
    "total = sum(range(10))",
    "total",
    # Hangs, but a KeyboardInterrupt ends it.
    "import time; time.sleep(3600)",
    "total * 2",
    # Hangs and ignores Ctrl-C: only a reset helps.
    "import signal; signal.signal(signal.SIGINT, signal.SIG_IGN); time.sleep(3600)",
    # A fresh interpreter: the old variables are gone.
    "'total' in globals()",
]


@dataclass
class Agent:
    session: Quillo
    # Output of earlier incarnations of the program, saved before each reset.
    saved_history: list[str] = field(default_factory=list)
    log: list[tuple[str, str]] = field(default_factory=list)

    def ready(self, text: str) -> bool:
        return text.endswith(PROMPTS)

    def start(self) -> str:
        banner = self.session.read_until_ready(timeout_ms=10_000)
        # After a reset, output that arrived while reset() ran is already in
        # the new history rather than returned by a read: look there too.
        if not (self.ready(banner) or self.ready(self.session.get_history())):
            raise SystemExit("agent_loop: the program did not show its prompt")
        return banner

    def step(self, line: str) -> str:
        reply = self.session.send_and_read_until_ready(line, timeout_ms=STEP_BUDGET_MS)
        self.record(line, reply)
        if self.ready(reply):
            return "ok"

        print("    # no prompt within the budget: send Ctrl-C")
        self.session.send_ctrl_c()
        reply = self.session.read_until_ready(timeout_ms=RECOVERY_MS)
        self.record("<ctrl-c>", reply)
        if self.ready(reply):
            return "interrupted"

        print("    # Ctrl-C did not help: save the history and reset")
        self.saved_history.append(self.session.get_history())
        self.session.reset()
        self.record("<reset>", self.start())
        return "reset"

    def record(self, sent: str, reply: str) -> None:
        self.log.append((sent, reply))
        print(f"\n>>> {sent}")
        for line in reply.splitlines(keepends=True) or [""]:
            print(f"    {line!r}")

    def transcript(self) -> str:
        """Everything the program printed, across resets."""
        return "".join(self.saved_history) + self.session.get_history()


def main() -> int:
    os.environ["PYTHON_BASIC_REPL"] = "1"  # Python 3.13+: the plain shell
    os.environ.pop("PYTHONSTARTUP", None)

    session = Quillo(sys.executable, True, list(PROMPTS))
    agent = Agent(session)
    outcomes: list[str] = []
    try:
        agent.record("<start>", agent.start())
        for line in PLAN:
            started = time.monotonic()
            outcome = agent.step(line)
            outcomes.append(outcome)
            print(f"    # step {outcome} after {time.monotonic() - started:.2f} s")

        transcript = agent.transcript()
        print(f"\n# outcomes: {outcomes}")
        print(f"# {len(agent.saved_history)} reset(s); transcript of {len(transcript)} characters:")
        for line in transcript.splitlines():
            print(f"#   {line}")
    finally:
        session.close()

    expected = ["ok", "ok", "interrupted", "ok", "reset", "ok"]
    if outcomes != expected:
        print(f"agent_loop: expected outcomes {expected}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

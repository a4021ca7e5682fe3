"""What the quillo-mcp tests share, whatever the transport: a tool call that
must succeed or must fail, the run of a test's coroutine under a hang guard,
and the debuggee that gdb drives."""

from __future__ import annotations

import asyncio
import shutil
import subprocess
from pathlib import Path

import pytest

# A hang guard for a whole test's coroutine, not a speed check.
TEST_CEILING_S = 240

PROGRAM = r"""
#include <stdio.h>
volatile int spin = 1;
int square(int x) { return x * x; }
int main(void) {
  int value = square(7);
  printf("value=%d\n", value);
  fflush(stdout);
  while (spin) {}
  return 0;
}
"""


def build_debuggee(work: Path) -> Path:
    """`spin`, built with debug information in `work`; skips without gdb."""
    if shutil.which("gdb") is None:
        pytest.skip("gdb is not installed (scripts/setup.sh installs it)")
    (work / "spin.c").write_text(PROGRAM)
    subprocess.run(["cc", "-g", "-O0", "-o", "spin", "spin.c"], cwd=work, check=True)
    return work / "spin"


async def call(c, tool: str, **arguments) -> dict:
    result = await c.call_tool(tool, arguments)
    assert not result.is_error, result.content
    assert result.structured_content is not None
    return result.structured_content


async def error(c, tool: str, **arguments) -> str:
    result = await c.call_tool(tool, arguments)
    assert result.is_error, result
    return result.content[0].text


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, timeout=TEST_CEILING_S))

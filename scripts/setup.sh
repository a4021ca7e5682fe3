#!/usr/bin/env bash
# Creates .venv (once) with everything the demo, the tests and the benchmarks
# need, and installs quillo into it from this checkout. Safe to re-run.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
command -v gdb >/dev/null || need_apt+=(gdb)
command -v cc >/dev/null || need_apt+=(gcc)
command -v c++ >/dev/null || need_apt+=(g++)
command -v cmake >/dev/null || need_apt+=(cmake)
command -v make >/dev/null || need_apt+=(make)
if ! python3 -c 'import venv, ensurepip' 2>/dev/null; then need_apt+=(python3-venv); fi
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "setup: installing ${need_apt[*]}" >&2
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q -r requirements-dev.txt
.venv/bin/python -m pip install -q ".[mcp]"   # with the MCP SDK for quillo-mcp and its tests

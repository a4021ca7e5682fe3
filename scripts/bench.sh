#!/usr/bin/env bash
# Runs the benchmark suite: sets up .venv (scripts/setup.sh, which installs
# pexpect from PyPI), builds quillo and the private hooks module (the sanitizer
# workload calls the sanitizer directly) in build/bench, then runs bench/run.py
# against that build. Every argument goes to bench/run.py:
#
#   scripts/bench.sh                      the full run (about 5 minutes)
#   scripts/bench.sh --quick              a short run (about 1.5 minutes)
#   scripts/bench.sh --only spawn,idle    some workloads only
#   scripts/bench.sh --markdown out.md --json out.json
#   scripts/bench.sh --agent [--quick]    what an agent sees (bench/agent.py)
#   scripts/bench.sh --readiness [--quick]
#                                         knowing when the program waits, old way beside
#                                         new (bench/readiness.py)
#   scripts/bench.sh --peers [--quick]    quillo-mcp beside other MCP terminal servers
#                                         (bench/peers.py; installs them under build/peers)
#
# Take figures that matter on a quiet machine: the round trip and the bulk
# transfer are sensitive to anything else running.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

setup_once
py=.venv/bin/python

if [ "${1:-}" = "--peers" ]; then
  shift
  # The programs the tasks drive, and tmux for libtmux-mcp. quillo-mcp is the
  # one setup.sh just installed into .venv from this checkout: no build here.
  need_apt=()
  for tool in gdb bc tmux; do command -v "$tool" >/dev/null || need_apt+=("$tool"); done
  if [ ${#need_apt[@]} -gt 0 ]; then
    echo "bench: installing ${need_apt[*]}" >&2
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
  fi
  exec "$py" bench/peers.py "$@"
fi

build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLO_TEST_HOOKS=ON "${DEV_CMAKE_FLAGS[@]}" \
  -DPython_EXECUTABLE="$PWD/$py" >/dev/null
cmake --build "$build" --target quillo _quillo_testhooks -j2 >/dev/null
# The build's quillo comes before the installed one, so the figures are those
# of this checkout, built the same way as the hooks module beside it.
script=bench/run.py
case "${1:-}" in
  --agent) shift; script=bench/agent.py ;;
  --readiness) shift; script=bench/readiness.py ;;
esac
PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}" exec "$py" "$script" "$@"

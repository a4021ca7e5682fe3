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
#
# Take figures that matter on a quiet machine: the round trip and the bulk
# transfer are sensitive to anything else running.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

setup_once
py=.venv/bin/python
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

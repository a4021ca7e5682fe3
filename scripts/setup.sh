#!/usr/bin/env bash
# Creates .venv (once) with everything the demo, the tests and the benchmarks
# need, and installs quillo into it from this checkout. Safe to re-run.
#
#   scripts/setup.sh                    .venv from python3, quillo built as a user's pip would
#   scripts/setup.sh --werror           the same with warnings as errors (the test scripts)
#   scripts/setup.sh --python PY --venv DIR
#                                       another interpreter's environment (the Python matrix)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

python=python3
venv=.venv
pip_flags=()
while [ $# -gt 0 ]; do
  case "$1" in
    --werror) pip_flags+=("${DEV_PIP_FLAGS[@]}") ;;
    --python) python="$2"; shift ;;
    --venv) venv="$2"; shift ;;
    *) echo "setup: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

need_apt=()
command -v gdb >/dev/null || need_apt+=(gdb)
command -v cc >/dev/null || need_apt+=(gcc)
command -v c++ >/dev/null || need_apt+=(g++)
command -v cmake >/dev/null || need_apt+=(cmake)
command -v make >/dev/null || need_apt+=(make)
# Programs the readiness tests drive beside gdb and the shells.
command -v bc >/dev/null || need_apt+=(bc)
command -v sqlite3 >/dev/null || need_apt+=(sqlite3)
command -v node >/dev/null || need_apt+=(nodejs)
if ! python3 -c 'import venv, ensurepip' 2>/dev/null; then need_apt+=(python3-venv); fi
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "setup: installing ${need_apt[*]}" >&2
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

# A venv whose interpreter no longer runs (its Python was removed or upgraded) is made anew.
if ! "$venv/bin/python" -c '' 2>/dev/null; then
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q -r requirements-dev.txt
# With the MCP SDK, for quillo-mcp and its tests.
"$venv/bin/python" -m pip install -q "${pip_flags[@]}" ".[mcp]"

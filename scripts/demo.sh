#!/usr/bin/env bash
# Sets up (once) and drives a real gdb session through quillo, printing what
# an agent would see.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python examples/gdb_session.py "$@"

#!/usr/bin/env bash
# Runs every test. Sets up .venv first (scripts/setup.sh), builds the private
# test hooks module, then runs pytest.
#
#   scripts/test.sh                 the default suite (what CI runs)
#   scripts/test.sh --sanitize      the same against an AddressSanitizer +
#                                   UndefinedBehaviorSanitizer build
#   scripts/test.sh --sanitize=LIST the same with the sanitizers in LIST
#                                   (e.g. undefined)
#   scripts/test.sh -- -k marker    extra arguments go to pytest
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
pytest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="address,undefined" ;;
    --sanitize=*) sanitize="${1#--sanitize=}" ;;
    --) shift; pytest_args+=("$@"); break ;;
    *) pytest_args+=("$1") ;;
  esac
  shift
done

scripts/setup.sh
py=.venv/bin/python

if [ -z "$sanitize" ]; then
  build=build/test
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLO_TEST_HOOKS=ON \
    -DPython_EXECUTABLE="$PWD/$py" >/dev/null
  cmake --build "$build" --target _quillo_testhooks -j2 >/dev/null
  # quillo itself comes from the installed package; only the hooks from the build.
  hooks_dir="$PWD/$build/hooks"
  mkdir -p "$hooks_dir"
  cp "$build"/_quillo_testhooks*.so "$hooks_dir"/
  QUILLO_TESTHOOKS_DIR="$hooks_dir" exec "$py" -m pytest tests "${pytest_args[@]}"
else
  build=build/sanitize-${sanitize//,/-}
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLO_TEST_HOOKS=ON \
    -DQUILLO_SANITIZE="$sanitize" -DPython_EXECUTABLE="$PWD/$py" >/dev/null
  cmake --build "$build" -j2 >/dev/null
  preload=""
  if [[ ",$sanitize," == *,address,* ]]; then preload+="$(c++ -print-file-name=libasan.so):"; fi
  if [[ ",$sanitize," == *,undefined,* ]]; then preload+="$(c++ -print-file-name=libubsan.so):"; fi
  reports="$PWD/$build/reports"
  rm -rf "$reports" && mkdir -p "$reports"
  # The interpreter is not instrumented: its own allocations are not ours to
  # report, so leak checking is off; every other finding aborts the run. Reports
  # go to files because pytest captures the standard error of a test that dies.
  status=0
  QUILLO_BUILD_DIR="$PWD/$build" QUILLO_TESTHOOKS_DIR="$PWD/$build" \
    QUILLO_SANITIZED=1 PYTHONMALLOC=malloc LD_PRELOAD="$preload" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    "$py" -m pytest tests "${pytest_args[@]}" || status=$?
  if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports:" >&2
    cat "$reports"/* >&2
    status=1
  fi
  exit $status
fi

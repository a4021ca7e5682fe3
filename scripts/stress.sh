#!/usr/bin/env bash
# The long stress, soak and fuzz runs (tests marked `long`), and the same
# suite under the sanitizers. The default test run (scripts/test.sh, CI)
# already includes the fast part of every stress scenario.
#
#   scripts/stress.sh                 the long part: full soak counts, 100 MB and
#                                     64 MB floods, 50 threads x 200 rounds, fuzzing
#                                     (libFuzzer for QUILLO_FUZZ_SECONDS, 300 by default)
#   scripts/stress.sh --sanitize      the whole suite, long part included, under
#                                     AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/stress.sh --tsan          the threaded tests under ThreadSanitizer
#   scripts/stress.sh --ubsan         the suite under UndefinedBehaviorSanitizer
#                                     alone, which keeps the shipped clone spawn
#                                     path (AddressSanitizer and ThreadSanitizer
#                                     builds fork instead)
#   ... -- ARGS                       extra arguments go to pytest
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

mode=long
pytest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) mode=asan ;;
    --tsan) mode=tsan ;;
    --ubsan) mode=ubsan ;;
    --) shift; pytest_args+=("$@"); break ;;
    *) pytest_args+=("$1") ;;
  esac
  shift
done

# The coverage-guided fuzzer needs clang with its libFuzzer runtime.
ensure_libfuzzer() {
  if printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' \
      | clang++ -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
    return
  fi
  echo "stress: installing clang and its libFuzzer runtime" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
}

# Threaded tests: every session has a reader thread; these add threads of their own.
THREADED=(tests/test_threads.py tests/test_lifecycle.py tests/test_stress_host.py
          tests/test_stress_fds.py tests/test_reads.py tests/test_waits.py tests/test_writes.py
          tests/test_bounds.py)

case "$mode" in
  long)
    ensure_libfuzzer
    # The long part runs under the .venv interpreter only; every version runs the default suite.
    QUILLO_REQUIRE_FUZZER=1 exec scripts/test.sh --primary -- -m long "${pytest_args[@]}"
    ;;
  asan)
    ensure_libfuzzer
    QUILLO_REQUIRE_FUZZER=1 exec scripts/test.sh --sanitize -- -m "long or not long" "${pytest_args[@]}"
    ;;
  ubsan)
    exec scripts/test.sh --sanitize=undefined -- "${pytest_args[@]}"
    ;;
  tsan)
    setup_once
    py="$PWD/.venv/bin/python"
    build=build/tsan
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLO_TEST_HOOKS=ON \
      "${DEV_CMAKE_FLAGS[@]}" -DQUILLO_SANITIZE=thread -DPython_EXECUTABLE="$py" >/dev/null
    cmake --build "$build" -j2 >/dev/null
    reports="$PWD/$build/reports"
    rm -rf "$reports" && mkdir -p "$reports"
    # The interpreter is not instrumented, but its locks (the GIL among them)
    # go through the intercepted pthread calls, so ThreadSanitizer sees the
    # order between Python threads. tests/tsan/clockjoin.c makes the close's
    # bounded join visible to the runtime (see there). Thread leaks are left
    # to the tests' own checks (one test abandons a reader on purpose).
    # setarch -R: the runtime wants the classic memory layout.
    cc -O1 -shared -fPIC -o "$build/clockjoin.so" tests/tsan/clockjoin.c
    status=0
    QUILLO_BUILD_DIR="$PWD/$build" QUILLO_TESTHOOKS_DIR="$PWD/$build" QUILLO_SANITIZED=1 \
      PYTHONMALLOC=malloc LD_PRELOAD="$(c++ -print-file-name=libtsan.so):$PWD/$build/clockjoin.so" \
      TSAN_OPTIONS="halt_on_error=0 report_thread_leaks=0 log_path=$reports/tsan" \
      setarch -R "$py" -m pytest "${THREADED[@]}" "${pytest_args[@]}" || status=$?
    if compgen -G "$reports/*" >/dev/null; then
      echo "ThreadSanitizer reports:" >&2
      cat "$reports"/* >&2
      status=1
    fi
    exit $status
    ;;
esac

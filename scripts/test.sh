#!/usr/bin/env bash
# Runs every test, under every CPython 3.11 or newer this machine has (pyenv's
# versions and python3.N on PATH), each in its own virtual environment: .venv
# for the interpreter python3 names (scripts/setup.sh), build/matrix/venv-3.N
# for the others. Each gets quillo installed from this checkout and the private
# test hooks module built for it (build/hooks/3.N), then runs pytest. Fails if
# any version fails, and closes with a table of the versions that ran and one
# closing line in pytest's form that adds them up. A version that
# pyproject.toml's classifiers list but the machine lacks is a loud warning,
# and fails the run in CI (CI=true).
#
#   scripts/test.sh                 the default suite under every version (what CI runs)
#   scripts/test.sh --primary       the .venv interpreter only
#   scripts/test.sh --sanitize      the .venv interpreter against an AddressSanitizer +
#                                   UndefinedBehaviorSanitizer build
#   scripts/test.sh --sanitize=LIST the same with the sanitizers in LIST
#                                   (e.g. undefined)
#   scripts/test.sh -- -k marker    extra arguments go to pytest
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

sanitize=""
primary_only=""
pytest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize="address,undefined" ;;
    --sanitize=*) sanitize="${1#--sanitize=}" ;;
    --primary) primary_only=1 ;;
    --) shift; pytest_args+=("$@"); break ;;
    *) pytest_args+=("$1") ;;
  esac
  shift
done
# Output goes through tee (to keep pytest's closing line): keep colours on a terminal.
[ -t 1 ] && pytest_args=(--color=yes "${pytest_args[@]}")

setup_once
py="$PWD/.venv/bin/python"
primary_version="$("$py" -c 'import platform; print(platform.python_version())')"
results_begin

sanitized_pytest() {
  local build="$1" reports="$1/reports"
  local preload="" status=0
  if [[ ",$sanitize," == *,address,* ]]; then preload+="$(c++ -print-file-name=libasan.so):"; fi
  if [[ ",$sanitize," == *,undefined,* ]]; then preload+="$(c++ -print-file-name=libubsan.so):"; fi
  rm -rf "$reports" && mkdir -p "$reports"
  # The interpreter is not instrumented: its own allocations are not ours to
  # report, so leak checking is off; every other finding aborts the run. Reports
  # go to files because pytest captures the standard error of a test that dies.
  QUILLO_BUILD_DIR="$build" QUILLO_TESTHOOKS_DIR="$build" \
    QUILLO_SANITIZED=1 PYTHONMALLOC=malloc LD_PRELOAD="$preload" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    "$py" -m pytest tests "${pytest_args[@]}" || status=$?
  if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports:" >&2
    cat "$reports"/* >&2
    status=1
  fi
  return $status
}

if [ -n "$sanitize" ]; then
  build="$PWD/build/sanitize-${sanitize//,/-}"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLO_TEST_HOOKS=ON \
    "${DEV_CMAKE_FLAGS[@]}" -DQUILLO_SANITIZE="$sanitize" -DPython_EXECUTABLE="$py" >/dev/null
  cmake --build "$build" -j2 >/dev/null
  status=0
  run_suite "CPython $primary_version, -fsanitize=$sanitize (${build#"$PWD"/})" . \
    sanitized_pytest "$build" || status=$?
  results_report "scripts/test.sh --sanitize" || status=1
  exit $status
fi

# The versions to run, each with its venv and the interpreter that venv is made from; .venv
# stands for its own minor version.
versions=("$primary_version")
venvs=(.venv)
bases=("")
if [ -z "$primary_only" ]; then
  while read -r version base; do
    [ "$(minor_of "$version")" = "$(minor_of "$primary_version")" ] && continue
    versions+=("$version")
    venvs+=("build/matrix/venv-$(minor_of "$version")")
    bases+=("$base")
  done < <(find_pythons)
fi
promised_ok=1
if [ -z "$primary_only" ]; then
  minors=()
  for version in "${versions[@]}"; do minors+=("$(minor_of "$version")"); done
  check_promised test "${minors[@]}" || promised_ok=""
fi
echo "test: CPython ${versions[*]}" >&2

status=0
for i in "${!versions[@]}"; do
  version="${versions[$i]}" venv="${venvs[$i]}" base="${bases[$i]}"
  label="CPython $version ($venv)"
  if [ "$venv" != .venv ]; then
    echo "test: setting up $venv from $base" >&2
    if ! scripts/setup.sh --werror --python "$base" --venv "$venv"; then
      results_add "$label" 1 "setting up $venv failed" 0
      status=1
      continue
    fi
  fi
  if ! hooks="$(build_hooks "$PWD/$venv/bin/python" . "build/hooks/$(minor_of "$version")")"; then
    results_add "$label" 1 "building the test hooks failed" 0
    status=1
    continue
  fi
  # quillo itself comes from the installed package; only the hooks from the build.
  QUILLO_TESTHOOKS_DIR="$PWD/$hooks" run_suite "$label" . \
    "$venv/bin/python" -m pytest tests "${pytest_args[@]}" || status=1
done

if [ -z "$promised_ok" ]; then
  check_promised test "${minors[@]}" || true  # once more, beside the summary
  in_ci && status=1
fi
results_report "scripts/test.sh: CPython ${versions[*]}" || status=1
exit $status

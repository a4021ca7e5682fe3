# Shared by the scripts (sourced, not run): the Pythons to test with, the test hooks build for
# one of them, pytest runs whose closing lines are recorded, and the summary of several runs.
# The sourcing script has already done `cd` to the repository root.

# A failing step inside $(...) fails the script too.
shopt -s inherit_errexit

# Developer and CI builds treat warnings as errors; a user's plain `pip install` does not.
DEV_CMAKE_FLAGS=(-DQUILLO_WERROR=ON)
DEV_PIP_FLAGS=(--config-settings=cmake.define.QUILLO_WERROR=ON)

# The lowest CPython quillo supports (pyproject.toml's requires-python).
MIN_MINOR=11

in_ci() { [ -n "${CI:-}" ] && [ "${CI:-}" != "false" ] && [ "${CI:-}" != "0" ]; }

# setup_once: scripts/setup.sh --werror, unless a script that called this one already ran it
# for this checkout.
setup_once() {
  if [ "${QUILLO_SET_UP:-}" != "$PWD" ]; then
    scripts/setup.sh --werror
    export QUILLO_SET_UP="$PWD"
  fi
}

# minor_of VERSION: 3.12.1 -> 3.12
minor_of() { echo "${1%.*}"; }

# find_pythons: one line "VERSION PATH" per CPython minor version >= 3.MIN_MINOR on this machine
# (pyenv's versions and every python3.N on PATH), oldest first; the newest patch release of each
# minor wins. Only interpreters that can build and test quillo count: CPython with its headers
# and venv, not a free-threaded build (python3.13t: a different ABI that quillo does not target).
find_pythons() {
  local probe='
import os, sys, sysconfig
import ensurepip, venv
if (sys.implementation.name == "cpython" and sys.version_info >= (3, '"$MIN_MINOR"')
        and not sysconfig.get_config_var("Py_GIL_DISABLED")
        and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))):
    print("%d.%d.%d" % sys.version_info[:3])'
  local pyenv="${PYENV_ROOT:-$HOME/.pyenv}" candidates=() dir exe real version
  candidates+=("$pyenv"/versions/*/bin/python3.[0-9]*)
  local IFS=:
  for dir in $PATH; do
    # pyenv's shims only lead to its versions, found above.
    [ "$dir" = "$pyenv/shims" ] || candidates+=("$dir"/python3 "$dir"/python3.[0-9]*)
  done
  unset IFS
  declare -A probed=()
  for exe in "${candidates[@]}"; do
    [[ "$exe" =~ /python3(\.[0-9]+)?$ ]] && [ -x "$exe" ] || continue
    real="$(readlink -f "$exe")"
    [ -z "${probed[$real]:-}" ] || continue
    probed[$real]=1
    version="$("$exe" -I -c "$probe" 2>/dev/null)" || continue
    if [ -n "$version" ]; then echo "$version $exe"; fi
  done | sort -s -t' ' -k1,1Vr -u |
    awk '{ split($1, v, "."); minor = v[1] "." v[2]; if (!seen[minor]++) print }' |
    sort -t' ' -k1,1V
}

# promised_minors: the CPython minor versions pyproject.toml's classifiers list.
promised_minors() {
  sed -n 's/^ *"Programming Language :: Python :: \(3\.[0-9][0-9]*\)",$/\1/p' pyproject.toml
}

# check_promised PREFIX MINOR...: warns loudly about each classifier version not among the given
# minor versions. Returns 1 if any is missing (the callers fail the run for it in CI).
check_promised() {
  local prefix="$1" missing=() minor
  shift
  for minor in $(promised_minors); do
    [[ " $* " == *" $minor "* ]] || missing+=("$minor")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  {
    echo
    echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
    echo "$prefix: WARNING: pyproject.toml promises CPython ${missing[*]}, but this machine"
    echo "$prefix: WARNING: has no usable interpreter for it (CPython with its headers and venv,"
    echo "$prefix: WARNING: under pyenv or on PATH): it is NOT tested here."
    if in_ci; then
      echo "$prefix: WARNING: in CI (CI=$CI) this fails the run."
    else
      echo "$prefix: WARNING: outside CI this is only a warning; CI fails on it."
    fi
    echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
    echo
  } >&2
  return 1
}

# build_hooks PYTHON SRC BUILD: builds the private _quillo_testhooks module from the sources in
# SRC for PYTHON in BUILD (incrementally: a second call for the same tree is quick) and prints the
# folder that holds it alone, for QUILLO_TESTHOOKS_DIR.
build_hooks() {
  # Each step checks its status: callers use this in conditions, where `set -e` does not act.
  local python="$1" src="$2" build="$3"
  cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLO_TEST_HOOKS=ON \
    "${DEV_CMAKE_FLAGS[@]}" -DPython_EXECUTABLE="$python" >/dev/null || return
  cmake --build "$build" --target _quillo_testhooks -j2 >/dev/null || return
  # Only the hooks: the tests must import quillo from where the run installed it.
  rm -rf "$build/hooks" && mkdir -p "$build/hooks" || return
  cp "$build"/_quillo_testhooks*.so "$build/hooks/" || return
  echo "$build/hooks"
}

# The results of the pytest runs: one line per run, "LABEL<TAB>STATUS<TAB>CLOSING LINE<TAB>SECONDS".
# A parent script (.ci/run) may export QUILLO_RESULTS to gather the runs of the scripts it calls;
# each script's own summary covers the runs it added.
results_begin() {
  if [ -z "${QUILLO_RESULTS:-}" ]; then
    export QUILLO_RESULTS="$PWD/build/results-$$.tsv"
    mkdir -p build
    : >"$QUILLO_RESULTS"
    trap 'rm -f "$QUILLO_RESULTS"' EXIT
  fi
  RESULTS_FROM=$(($(wc -l <"$QUILLO_RESULTS") + 1))
}

results_add() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" >>"$QUILLO_RESULTS"; }

# run_suite LABEL DIR COMMAND...: runs COMMAND (pytest, or a function that runs it) in DIR with
# its output shown and kept, and records its status and pytest's closing line under LABEL.
# Returns COMMAND's status.
run_suite() {
  local label="$1" dir="$2"
  shift 2
  local log status start line
  log="$(mktemp)"
  start=$SECONDS
  echo "===== $label =====" >&2
  set +e
  (cd "$dir" && "$@") 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  line="$(sed 's/\x1b\[[0-9;]*m//g' "$log" |
    grep -E '([0-9]+ (passed|failed|errors?|skipped|deselected)|no tests ran).* in [0-9.]+s' |
    tail -n 1 | sed -E 's/^=+ //; s/ =+$//')" || true
  rm -f "$log"
  results_add "$label" "$status" "${line:-no closing line}" $((SECONDS - start))
  return "$status"
}

# results_report TITLE [FROM]: the table of the runs recorded since results_begin (or from line
# FROM), then one closing line in pytest's own form that adds them all up (a run that failed
# without saying so in its closing line, or had none, counts as an error). Returns 1 if any run
# failed.
results_report() {
  local python=python3
  [ -x .venv/bin/python ] && python=.venv/bin/python
  "$python" - "$1" "$QUILLO_RESULTS" "${2:-$RESULTS_FROM}" <<'EOF'
import re, sys

title, path, first = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(path) as f:
    runs = [line.rstrip("\n").split("\t") for line in f][first - 1:]
order = ["failed", "passed", "skipped", "deselected", "xfailed", "xpassed", "warning", "error"]
total = dict.fromkeys(order, 0)
seconds = 0
width = max((len(r[0]) for r in runs), default=0)
print(f"\n{' ' + title + ' ':=^78}")
bad = 0
for label, status, line, secs in runs:
    seconds += int(secs)
    counts = dict.fromkeys(order, 0)
    for n, word in re.findall(r"(\d+) (\w+)", line.split(" in ")[0]):
        word = word.removesuffix("s") if word in ("errors", "warnings") else word
        if word in counts:
            counts[word] = int(n)
    if status != "0":
        bad += 1
        if not counts["failed"] and not counts["error"]:
            counts["error"] = 1
    for word, n in counts.items():
        total[word] += n
    verdict = "ok" if status == "0" else f"FAILED (exit {status})"
    print(f"  {label:<{width}}  {verdict:<15}  {line}")
plural = {"warning": "warnings", "error": "errors"}
parts = [f"{n} {plural.get(w, w) if n != 1 else w}" for w, n in total.items() if n]
closing = ", ".join(parts) or "no tests ran"
h, rest = divmod(seconds, 3600)
m, s = divmod(rest, 60)
summary = f" {closing} in {seconds:.2f}s ({h}:{m:02d}:{s:02d}) "
# As pytest draws it: at least one "=" on either side, however long the line.
side = "=" * max(1, (78 - len(summary)) // 2)
print(f"{side}{summary}{side}")
sys.exit(1 if bad or not runs else 0)
EOF
}

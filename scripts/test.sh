#!/usr/bin/env bash
# Builds velkor and runs the whole test suite with every CPython >= 3.12 found.
# The sdist is made once and every interpreter's wheel is built from it (which
# so proves the sdist complete), installed into .venv-KEY and tested there: the
# first build also makes the C++ core tests, which run once (the core does not
# depend on the interpreter), then pytest runs once per wheel. The sdist and
# the wheels stay in build/dist for scripts/wheel_check.sh --built.
# Set PYTHON=/path/to/python to test with one interpreter only.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

echo "-- looking for CPython >= 3.12 on PATH and through pyenv"
mapfile -t pythons < <(find_pythons)
[ "${#pythons[@]}" -gt 0 ] || no_python
echo "-- found: ${pythons[*]}"

dist="$ROOT/build/dist"
rm -rf "$dist" "$ROOT/build/sdist"
mkdir -p "$dist" "$ROOT/build/sdist"

status=0
srcdir=""
for python in "${pythons[@]}"; do
  k="$(py_key "$python")"
  echo "== CPython $(key_label "$k") ($python)"
  vpython="$(venv_at "${VELKOR_VENV_DIR:-$ROOT}/.venv-$k" "$python" "pytest>=8" "hypothesis>=6" build)"
  log="$ROOT/build/build-$k.log"
  extra=()
  rm -f "$log"
  if [ -z "$srcdir" ]; then
    echo "-- making the sdist (build/dist)"
    build_logged "$log" "$vpython" -m build --sdist --outdir "$dist" "$ROOT" || {
      echo "error: building the sdist failed" >&2; exit 1; }
    tar xzf "$dist"/velkor-*.tar.gz -C "$ROOT/build/sdist"
    srcdir="$(echo "$ROOT"/build/sdist/velkor-*)"
    extra=(-C cmake.define.VELKOR_BUILD_TESTS=ON)
  fi
  # A build folder of its own, kept: the first one holds the core tests.
  build="$ROOT/build/wheel-$k"
  rm -rf "$build"
  echo "-- building the wheel from the sdist${extra[*]:+, with the C++ core tests} (a few minutes on 2 cores; log: build/build-$k.log)"
  build_logged "$log" "$vpython" -m build --wheel --outdir "$dist" -C build-dir="$build" "${extra[@]}" "$srcdir" || {
    echo "error: building velkor with CPython $k failed" >&2; status=1; continue; }
  echo "-- installing the wheel into .venv-$k"
  wheel="$(wheel_for "$k" "$dist")" || {
    echo "error: the build with CPython $k made no wheel in $dist" >&2; status=1; continue; }
  "$vpython" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel" || {
    echo "error: installing $wheel failed" >&2; status=1; continue; }
  if [ "${#extra[@]}" -gt 0 ]; then
    echo "-- C++ core tests"
    "$build/velkor_core_tests" || status=1
  fi
  # From outside the checkout, so that only the installed wheel can be imported.
  echo "-- pytest (CPython $k, $(basename "$wheel"))"
  (cd "$dist" && "$vpython" -m pytest -q -p no:cacheprovider "$ROOT/tests") || status=1
done
exit "$status"

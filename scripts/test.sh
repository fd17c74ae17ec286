#!/usr/bin/env bash
# Builds velkor and runs the whole test suite (C++ core tests, then pytest) with every CPython >= 3.12 found.
# Set PYTHON=/path/to/python to test with one interpreter only.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

mapfile -t pythons < <(find_pythons)
[ "${#pythons[@]}" -gt 0 ] || no_python

status=0
first=1
for python in "${pythons[@]}"; do
  k="$(py_key "$python")"
  echo "== CPython $(key_label "$k") ($python)"
  vpython="$(make_venv "$python" "pytest>=8" "hypothesis>=6" "cmake>=3.21" "ninja")"
  if [ "$first" -eq 1 ]; then
    # The computational core does not depend on the interpreter: test it once.
    first=0
    venv_bin="$(dirname "$vpython")"
    build="$ROOT/build/core-tests"
    "$venv_bin/cmake" -S "$ROOT" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv_bin/ninja" \
      -DVELKOR_BUILD_PYTHON=OFF -DVELKOR_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    "$venv_bin/cmake" --build "$build" >/dev/null
    echo "-- C++ core tests"
    "$build/velkor_core_tests" || status=1
  fi
  echo "-- pytest (CPython $k)"
  (cd "$ROOT" && "$vpython" -m pytest -q -p no:cacheprovider tests) || status=1
done
exit "$status"

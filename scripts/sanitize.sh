#!/usr/bin/env bash
# Builds velkor with AddressSanitizer and UndefinedBehaviorSanitizer and runs the
# whole test suite under them (C++ core tests with leak checking, then pytest),
# with the newest CPython >= 3.12 found. Needs g++ and its sanitizer runtimes.
# Set PYTHON=/path/to/python to choose the interpreter.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

export CXX="${CXX:-g++}"

# Absolute path of a library as the compiler would link it, or nothing.
compiler_lib() {
  local p
  p="$("$CXX" -print-file-name="$1" 2>/dev/null)" || return 0
  case "$p" in /*) [ -e "$p" ] && readlink -f "$p" ;; esac
  return 0
}

libasan="$(compiler_lib libasan.so)"
if [ -z "$libasan" ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
  need_packages libasan8 libubsan1
  libasan="$(compiler_lib libasan.so)"
fi
libstdcxx="$(compiler_lib libstdc++.so)"
if [ -z "$libasan" ] || [ -z "$libstdcxx" ]; then
  echo "error: $CXX has no AddressSanitizer runtime (libasan.so) or libstdc++.so; install libasan8 (Debian/Ubuntu) or your compiler's equivalent" >&2
  exit 1
fi

python="$(newest_python)"
k="$(py_key "$python")"
echo "== sanitizers (address, undefined), CPython $(key_label "$k") ($python)"

venv="$ROOT/.venv-asan-$k"
vpython="$(venv_at "$venv" "$python" "pytest>=8" "hypothesis>=6")"

ubsan_options="print_stacktrace=1:halt_on_error=1"
status=0

# One build makes both the extension module and the C++ core tests.
echo "-- building velkor and the C++ core tests with the sanitizers"
build="$ROOT/build/asan-$k"
rm -rf "$build"
"$vpython" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
  -C cmake.define.VELKOR_SANITIZE=ON -C cmake.define.VELKOR_BUILD_TESTS=ON \
  -C cmake.build-type=RelWithDebInfo -C build-dir="$build" "$ROOT" || {
  echo "error: building velkor with the sanitizers failed" >&2; exit 1; }

echo "-- C++ core tests (ASan with leak checking, UBSan)"
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="$ubsan_options" "$build/velkor_core_tests" || status=1

# pytest in an interpreter with the runtimes preloaded: libasan must come
# first, and libstdc++ with it so that C++ exceptions thrown in the module go
# through the interceptors. CPython itself does not free everything at exit,
# so leak checking is off here. Reports go to files, so that one in a child
# interpreter whose output a test swallows is not missed.
logs="$ROOT/build/asan-reports"
rm -rf "$logs"
mkdir -p "$logs"
echo "-- pytest (CPython $k, ASan, UBSan)"
(cd "$ROOT" && env \
  LD_PRELOAD="$libasan $libstdcxx" \
  ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:log_path=$logs/asan" \
  UBSAN_OPTIONS="$ubsan_options:log_path=$logs/ubsan" \
  VELKOR_SANITIZER=address \
  "$vpython" -m pytest -q -p no:cacheprovider tests) || status=1

if compgen -G "$logs/*" >/dev/null; then
  echo "-- sanitizer reports"
  for f in "$logs"/*; do
    echo "---- $(basename "$f")"
    cat "$f"
  done
  status=1
fi
exit "$status"

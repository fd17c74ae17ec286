#!/usr/bin/env bash
# Builds velkor for musl libc (x86-64) with Zig's C++ toolchain, which brings
# musl and libc++, and tests it under musl: the extension module is built by
# pip into a virtual environment of a musl CPython 3.13 (made from source by
# scripts/musl_python.sh and cached outside the checkout, in
# /var/cache/velkor-musl-python unless VELKOR_MUSL_PYTHON_DIR says
# otherwise), together with the C++ core tests, linked statically. The
# installed module is checked for what musl's loader refuses (IRELATIVE
# relocations, that is GNU indirect functions, and static-TLS relocations or
# the STATIC_TLS flag) and for anything of glibc's; the core tests run once per
# SIMD level the CPU has; then the whole pytest suite runs with the musl
# interpreter, from outside the checkout. Warnings are errors. Any failure
# fails the check, and so does a musl interpreter that cannot be made. Zig,
# CMake and Ninja (which the build runs) come from PyPI into .venv-zig, made
# with a CPython >= 3.12 found as by the other scripts (set PYTHON to choose
# one), whose pip also downloads the musllinux wheels of pytest, Hypothesis
# and scikit-build-core for the musl venv, .venv-musl-3.13.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/debian_root.sh"
source "$(dirname "${BASH_SOURCE[0]}")/source_python.sh"
source "$(dirname "${BASH_SOURCE[0]}")/musl_python.sh"

mapfile -t pythons < <(find_pythons)
[ "${#pythons[@]}" -gt 0 ] || no_python
python="${pythons[0]}"
echo "== musl build and tests (x86_64-linux-musl, Zig, CPython 3.13 for musl)"

zig="$(zig_venv "$python")"
echo "-- zig $("$zig" version)"
musl_python_setup "$ZIG_VENV/bin/python"

wheel_venv "$MUSL_PYTHON" "${VELKOR_VENV_DIR:-$ROOT}/.venv-musl-3.13" "$MUSL_WHEELS"

build="$ROOT/build/musl"
# Configured afresh each run: CMake drops the options given with a changed
# compiler, and would keep those of an earlier run.
rm -f "$build/CMakeCache.txt"
zig_tools "$zig" x86_64-linux-musl "$build/bin"
# scikit-build-core takes Ninja from PATH, and CMake too unless
# CMAKE_EXECUTABLE (common.sh) names one: those of .venv-zig.
ln -sf "$ZIG_VENV/bin/cmake" "$ZIG_VENV/bin/ninja" "$build/bin/"
status=0

# One build of everything: scikit-build-core builds all targets, the core
# tests too, in $build, and installs the module. Warnings are errors here:
# the build must be as clean under clang and libc++ as under g++.
t="$SECONDS"
PATH="$build/bin:$PATH" "${pip_install[@]}" -v \
  --no-build-isolation --no-deps --force-reinstall \
  -C build-dir="$build" \
  -C cmake.define.CMAKE_CXX_COMPILER="$build/bin/c++" \
  -C cmake.define.CMAKE_AR="$build/bin/ar" -C cmake.define.CMAKE_RANLIB="$build/bin/ranlib" \
  -C cmake.define.CMAKE_CXX_FLAGS=-Werror \
  -C cmake.define.CMAKE_EXE_LINKER_FLAGS=-static \
  -C cmake.define.VELKOR_BUILD_TESTS=ON \
  "$ROOT" >"$build/pip.log" 2>&1 || {
  tail -n 80 "$build/pip.log"; echo "error: building velkor for musl failed (log: $build/pip.log)" >&2; exit 1; }
echo "-- velkor built and installed into the musl venv, core tests beside: $((SECONDS - t)) s"

# The extension module: what musl's dynamic loader would refuse.
module="$(cd / && "$vpython" -c 'import velkor; print(velkor.__file__)')" ||
  { echo "error: the musl interpreter cannot import the installed velkor" >&2; exit 1; }
echo "-- extension module $(basename "$module")"
case "$(basename "$module")" in *-linux-musl.so) ;; *) fail "the module is not named for musl" ;; esac
relocs="$(readelf -rW "$module")"
dynamic="$(readelf -dW "$module")"
echo "$dynamic" | awk '/NEEDED/ { print "   needs " $NF }'
irelative="$(echo "$relocs" | grep -c 'R_X86_64_IRELATIVE' || true)"
static_tls="$(echo "$relocs" | grep -cE 'R_X86_64_(TPOFF64|TPOFF32|GOTTPOFF)' || true)"
echo "   IRELATIVE relocations: $irelative, static-TLS relocations: $static_tls"
[ "$irelative" -eq 0 ] || fail "the module has IRELATIVE relocations (GNU indirect functions), which musl does not resolve"
[ "$static_tls" -eq 0 ] || { echo "$relocs" | grep -E 'TPOFF' >&2; fail "the module uses static TLS, which musl refuses in a module loaded with dlopen"; }
if echo "$dynamic" | grep -E '\(FLAGS' | grep -q 'STATIC_TLS'; then
  fail "the module carries the STATIC_TLS flag"
fi
if echo "$dynamic" | grep -q 'libstdc++\|ld-linux'; then
  fail "the module needs glibc's loader or libstdc++"
fi

# The core tests, once per SIMD variant the CPU can run (the run-time
# dispatch honours VELKOR_SIMD_LEVEL as a cap).
tests="$build/velkor_core_tests"
[ -x "$tests" ] || { echo "error: the musl build made no core tests ($tests)" >&2; exit 1; }
file_info="$(readelf -lW "$tests")"
if echo "$file_info" | grep -q 'INTERP'; then fail "the core tests are not statically linked"; fi
for level in baseline avx2 native; do
  echo "-- C++ core tests, musl, SIMD level: $level"
  if [ "$level" = native ]; then
    "$tests" || fail "C++ core tests under musl ($level)"
  else
    VELKOR_SIMD_LEVEL="$level" "$tests" || fail "C++ core tests under musl ($level)"
  fi
done

suite_outside "$vpython" "under musl"

if [ "$status" -eq 0 ]; then echo "== musl check passed"; else echo "== musl check FAILED" >&2; fi
exit "$status"

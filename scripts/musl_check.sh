#!/usr/bin/env bash
# Builds velkor for musl libc (x86-64) with Zig's C++ toolchain, which brings
# musl and libc++: the extension module as a shared object, checked for what
# musl's loader refuses (IRELATIVE relocations, that is GNU indirect
# functions, and static-TLS relocations or the STATIC_TLS flag), and the C++
# core tests, linked statically and run once per SIMD level the CPU has.
# Any failure fails the check. Zig comes from PyPI (package ziglang) into
# .venv-zig; the Python headers are those of a CPython >= 3.12 found as by
# the other scripts (set PYTHON to choose one).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

mapfile -t pythons < <(find_pythons)
[ "${#pythons[@]}" -gt 0 ] || no_python
python="${pythons[0]}"
v="$(py_version "$python")"
echo "== musl build (x86_64-linux-musl, Zig), CPython $v headers ($python)"

zig="$(zig_venv "$python")"
venv="$ZIG_VENV"
echo "-- zig $("$zig" version)"

build="$ROOT/build/musl"
# Configured afresh each run: CMake drops the options given with a changed
# compiler, and would keep those of an earlier run.
rm -f "$build/CMakeCache.txt"
zig_tools "$zig" x86_64-linux-musl "$build/bin"
status=0

# Warnings are errors here: the build must be as clean under clang and
# libc++ as under g++.
"$venv/bin/cmake" -S "$ROOT" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$build/bin/c++" \
  -DCMAKE_AR="$build/bin/ar" -DCMAKE_RANLIB="$build/bin/ranlib" \
  -DCMAKE_CXX_FLAGS="-Werror" \
  -DCMAKE_EXE_LINKER_FLAGS="-static" \
  -DVELKOR_BUILD_PYTHON=ON -DVELKOR_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$python" >"$build/configure.log" 2>&1 || {
  cat "$build/configure.log"; echo "error: configuring the musl build failed" >&2; exit 1; }
echo "-- building the extension module and the C++ core tests"
"$venv/bin/cmake" --build "$build" >"$build/build.log" 2>&1 || {
  cat "$build/build.log"; echo "error: the musl build failed" >&2; exit 1; }

# The extension module: what musl's dynamic loader would refuse.
module="$(find "$build" -maxdepth 1 -name 'velkor*.so' | head -n 1)"
[ -n "$module" ] || { echo "error: the musl build made no extension module" >&2; exit 1; }
echo "-- extension module $(basename "$module")"
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

if [ "$status" -eq 0 ]; then echo "== musl check passed"; else echo "== musl check FAILED" >&2; fi
exit "$status"

#!/usr/bin/env bash
# Builds velkor for the platforms and toolchains this machine cannot test
# natively, and runs whatever of it can run here (Linux on arm64, s390x and
# i386 is tested by scripts/test_foreign_arch.sh):
#   windows      the C++ core tests built with mingw-w64 (x86-64, POSIX
#                threads), run under Wine once per SIMD level of the CPU; the
#                extension module compiled against the host's Python headers
#                with Windows' sizes and DLL linkage, PyInit_velkor exported
#                unmangled: a compile check only
#   macos        the whole project compiled for macOS arm64 (11.0) and x86-64
#                (10.15) with Zig's clang and macOS headers, warnings and
#                calls newer than the deployment target as errors: the core,
#                the core tests (linked), the extension module against the
#                host's Python headers; nothing runs
#   libcxx       the whole project built on Linux with clang 16 and libc++
#                (the C++ library of macOS' toolchain): the core tests, then
#                pytest with the newest CPython found
# Warnings are errors in every build. Each section runs even when an earlier
# one failed; any failure fails the check, and nothing is skipped: what is
# missing is installed (Debian packages with apt-get, as root; cmake, ninja
# and ziglang from PyPI into .venv-zig), and what cannot be installed
# fails. Wine's prefix is made once, outside the checkout, in
# ~/.cache/velkor-wine-prefix (VELKOR_WINE_PREFIX chooses another folder).
# Name sections to run only those: ./scripts/cross_check.sh windows macos
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

all_sections=(windows macos libcxx)
sections=("$@")
[ "${#sections[@]}" -gt 0 ] || sections=("${all_sections[@]}")
for s in "${sections[@]}"; do
  case " ${all_sections[*]} " in *" $s "*) ;; *) echo "error: no section '$s' (sections: ${all_sections[*]})" >&2; exit 2 ;; esac
done

status=0

# ------------------------------------------------------------------ set-up

# The Debian packages each section needs.
packages_for() {
  case "$1" in
    windows) echo g++-mingw-w64-x86-64-posix wine64 binutils-mingw-w64-x86-64 ;;
    macos) echo ;;
    libcxx) echo clang-16 libc++-16-dev libc++abi-16-dev ;;
  esac
}

packages=()
for s in "${sections[@]}"; do packages+=($(packages_for "$s")); done
need_packages "${packages[@]}"

# The newest interpreter found: its headers for the compile checks, and
# pytest with it for libc++.
python="$(newest_python)"
py_include="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"

zig="$(zig_venv "$python")"
venv="$ZIG_VENV"
cmake=("$venv/bin/cmake")
ninja="$venv/bin/ninja"

work="$ROOT/build/cross"
mkdir -p "$work"

# Configures and builds one CMake tree; the log is shown when either fails.
# Usage: build NAME TARGETS -- CMAKE_ARGS...
build() {
  local name="$1" targets="$2" dir="$work/$1"; shift 3
  mkdir -p "$dir"
  "${cmake[@]}" -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
    -DCMAKE_BUILD_TYPE=Release "$@" >"$dir/configure.log" 2>&1 || {
    cat "$dir/configure.log"; fail "configuring $name"; return 1; }
  # shellcheck disable=SC2086
  "$ninja" -C "$dir" $targets >"$dir/build.log" 2>&1 || {
    cat "$dir/build.log"; fail "building $name"; return 1; }
}

# The object files of the extension module in a configured tree: compiled,
# not linked.
extension_objects() {
  "$ninja" -C "$1" -t targets all | sed -n 's|^\(CMakeFiles/_velkor_ext\.dir/[^:]*\.o\(bj\)\{0,1\}\): .*|\1|p'
}

# Core tests at -O2: GCC 12 at -O3 can warn of overlapping copies inside
# std::string that cannot happen (GCC bug 105651).
core_flags=(-DVELKOR_BUILD_PYTHON=OFF -DVELKOR_BUILD_TESTS=ON "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG")

# ------------------------------------------------------------------ windows

# Runs the Windows core tests under Wine at SIMD level $1 ("native": the
# CPU's best), with $wine and $tests of section_windows. When Wine fails
# before the tests print their summary, which on a busy machine happens now
# and then ("wine client error:0: recvmsg: Connection reset by peer"), they
# run once more, saying so; tests that ran to their summary and failed are
# not run again. The output goes through a file: Wine's own background
# processes keep what they inherit open for a while after a run ends.
wine_core_tests() {
  local level="$1" out="$work/windows/wine-$1.log" try rc
  for try in 1 2; do
    rc=0
    if [ "$level" = native ]; then
      "$wine" "$tests" >"$out" 2>&1 || rc=$?
    else
      VELKOR_SIMD_LEVEL="$level" "$wine" "$tests" >"$out" 2>&1 || rc=$?
    fi
    cat "$out"
    [ "$rc" = 0 ] && return 0
    grep -Eq '^[0-9]+ passed, [0-9]+ failed' "$out" && return 1
    [ "$try" = 2 ] || echo "-- Wine stopped before the tests' summary; once more"
  done
  return 1
}

section_windows() {
  local cxx=x86_64-w64-mingw32-g++-posix level tests wine
  wine="$(command -v wine64 || echo /usr/lib/wine/wine64)"
  echo "-- C++ core tests, Windows x86-64 (mingw-w64 GCC $("$cxx" -dumpversion), static), under $("$wine" --version)"
  if build windows velkor_core_tests -- "${core_flags[@]}" \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=AMD64 -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_CXX_FLAGS="-Werror" -DCMAKE_EXE_LINKER_FLAGS="-static"; then
    tests="$work/windows/velkor_core_tests.exe"
    # A Wine prefix of its own, made on the first run (no Mono or Gecko),
    # outside the checkout: its drive Z: links to /, which no tree walk of
    # the checkout (the sdist's) may follow.
    export WINEPREFIX="${VELKOR_WINE_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/velkor-wine-prefix}"
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$(dirname "$WINEPREFIX")"
    [ -d "$WINEPREFIX" ] || "$wine" wineboot --init >/dev/null 2>&1 || true
    for level in baseline avx2 native; do
      echo "-- C++ core tests under Wine, SIMD level: $level"
      wine_core_tests "$level" || fail "C++ core tests under Wine ($level)"
    done
  fi

  # The host's pyconfig.h describes Linux; this one, included first, gives
  # the sizes and DLL linkage of a Windows build (its include guard keeps
  # Python.h from reading the host's again).
  echo "-- extension module, Windows x86-64 (mingw-w64), compiled against CPython $(py_version "$python")'s headers"
  local dir="$work/windows-extension" f obj ok=1
  mkdir -p "$dir"
  cat >"$dir/pyconfig.h" <<EOF
#include "$py_include/pyconfig.h"
#undef HAVE_SYS_SELECT_H
#undef SIZEOF_LONG
#define SIZEOF_LONG 4
#undef SIZEOF_WCHAR_T
#define SIZEOF_WCHAR_T 2
#define MS_WINDOWS
#define MS_WIN32
#define MS_WIN64
#define HAVE_DECLSPEC_DLL
#undef Py_ENABLE_SHARED
#define Py_ENABLE_SHARED 1
EOF
  for f in "$ROOT"/src/velkor.cpp "$ROOT"/src/boundary/*.cpp "$ROOT"/src/convert/*.cpp; do
    obj="$dir/$(basename "$f" .cpp).o"
    "$cxx" -std=c++20 -O1 -Wall -Wextra -Werror -I"$ROOT/src" -include "$dir/pyconfig.h" -I"$py_include" \
      -c "$f" -o "$obj" || { ok=0; fail "compiling $(basename "$f") for Windows"; }
  done
  [ "$ok" -eq 1 ] || return 0
  # The module's entry point: a C name, exported from the DLL.
  if grep -qE ' T PyInit_velkor$' <<<"$(x86_64-w64-mingw32-nm "$dir/velkor.o")" &&
    grep -q 'export:"PyInit' <<<"$(x86_64-w64-mingw32-objdump -s -j .drectve "$dir/velkor.o" | tr -d '\n')"; then
    echo "   PyInit_velkor: defined with C linkage and exported"
  else
    fail "PyInit_velkor is not exported with C linkage"
  fi
}

# ------------------------------------------------------------------ macos

section_macos() {
  local target arch version dir objects
  for target in aarch64-macos.11.0 x86_64-macos.10.15; do
    arch="${target%%-*}"; version="${target#*-macos.}"
    echo "-- macOS $arch $version (zig $("$zig" version) c++), built, not run; extension against CPython $(py_version "$python")'s headers"
    dir="$work/macos-$arch"
    zig_tools "$zig" "$target" "$dir/bin"
    # Calls newer than the deployment target are errors, the older ones'
    # warnings included (-Wunguarded-availability).
    build "macos-$arch" velkor_core_tests -- \
      -DCMAKE_SYSTEM_NAME=Darwin -DCMAKE_SYSTEM_PROCESSOR="$arch" -DCMAKE_OSX_DEPLOYMENT_TARGET="$version" \
      -DCMAKE_CXX_COMPILER="$dir/bin/c++" -DCMAKE_AR="$dir/bin/ar" -DCMAKE_RANLIB="$dir/bin/ranlib" \
      -DCMAKE_CXX_FLAGS="-Werror -Wunguarded-availability" "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG" \
      -DVELKOR_BUILD_PYTHON=ON -DVELKOR_BUILD_TESTS=ON \
      -DPython_EXECUTABLE="$python" -DPython_INCLUDE_DIR="$py_include" || continue
    mapfile -t objects < <(extension_objects "$dir")
    [ "${#objects[@]}" -gt 0 ] || { fail "no object files of the extension module for macOS $arch"; continue; }
    "$ninja" -C "$dir" "${objects[@]}" >"$dir/extension.log" 2>&1 || {
      cat "$dir/extension.log"; fail "compiling the extension module for macOS $arch"; continue; }
    # A 64-bit Mach-O file starts with 0xfeedfacf, little-endian.
    [ "$(od -An -tx1 -N4 "$dir/velkor_core_tests" | tr -d ' ')" = cffaedfe ] ||
      { fail "the core tests for macOS $arch are not a 64-bit Mach-O executable"; continue; }
    echo "   core tests linked (64-bit Mach-O), ${#objects[@]} extension objects compiled"
  done
}

# ------------------------------------------------------------------ libcxx

section_libcxx() {
  local flags="-stdlib=libc++" k vpython module libs dir="$work/libcxx"
  k="$(py_key "$python")"
  echo "-- extension module and C++ core tests, clang 16 with libc++, CPython $(key_label "$k")"
  # One build makes both; the module is installed into a venv of its own.
  rm -rf "$dir"
  vpython="$(venv_at "$work/libcxx-venv-$k" "$python" "pytest>=8" "hypothesis>=6")"
  CXX=clang++-16 CXXFLAGS="$flags -Werror" LDFLAGS="$flags" "$vpython" -m pip install -q \
    --disable-pip-version-check --force-reinstall --no-deps \
    -C cmake.define.VELKOR_BUILD_TESTS=ON -C build-dir="$dir" "$ROOT" || {
    fail "building velkor with clang 16 and libc++"; return 0; }
  if grep -q 'libc++\.so' <<<"$(ldd "$dir/velkor_core_tests")"; then
    "$dir/velkor_core_tests" || fail "C++ core tests with clang 16 and libc++"
  else
    fail "the core tests are not linked with libc++"
  fi
  module="$(cd "$work" && "$vpython" -c 'import velkor; print(velkor.__file__)')" || { fail "importing velkor"; return 0; }
  libs="$(ldd "$module")"
  if ! grep -q 'libc++\.so' <<<"$libs" || grep -q 'libstdc++' <<<"$libs"; then
    echo "$libs"
    fail "the extension module is not linked with libc++ alone"
    return 0
  fi
  echo "   $(basename "$module") needs $(awk '/libc\+\+/ { printf "%s ", $1 }' <<<"$libs")"
  echo "-- pytest, CPython $(key_label "$k"), velkor built with clang 16 and libc++"
  (cd "$work" && "$vpython" -m pytest -q -p no:cacheprovider "$ROOT/tests") || fail "pytest with velkor built with clang 16 and libc++"
}

for s in "${sections[@]}"; do
  echo "== $s"
  "section_${s//-/_}"
done

if [ "$status" -eq 0 ]; then echo "== cross check passed (${sections[*]})"; else echo "== cross check FAILED" >&2; fi
exit "$status"

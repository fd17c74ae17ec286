#!/usr/bin/env bash
# Tests velkor on a free-threaded CPython (built with --disable-gil): the
# interpreter is built from source with the host's gcc, against the host's
# glibc, zlib (pip's wheels) and libffi (ctypes), with CPython's test
# extension modules (the suite runs code through _testcapi) but without PGO,
# LTO or docs. Its source is the orig tarball of Debian sid's python3.15,
# python3.14 or python3.13, the newest that the mirror of this machine's apt
# sources serves (the index may name a newer one before the mirror has it),
# checked from Debian's archive keyring down (scripts/source_python.sh). It is
# kept outside the checkout, in /var/cache/velkor-ft-python unless
# VELKOR_FT_PYTHON_DIR says otherwise, and built anew only when missing,
# incomplete or made with another recipe.
#
# velkor's wheel is built from the checkout by its build backend, run on
# the free-threaded interpreter, in build/ft-3.13t, with the host's CMake and
# Ninja (Ninja from PyPI into .venv-ft-tools when the host has none), and
# installed into the interpreter's virtual environment (.venv-3.13t, named by
# its key) by the host's pip: no pip runs on the free-threaded interpreter
# (see host_pip_venv). Then the whole pytest suite runs with PYTHON_GIL=0
# from outside the checkout. pytest, Hypothesis and scikit-build-core (all
# pure Python) are downloaded and installed by the pip of a CPython >= 3.12
# found as by the other scripts (set PYTHON to choose one). Needs root the
# first time (apt-get, /var/cache). Any failure fails the check, and so does
# an interpreter that cannot be made.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/debian_root.sh"
source "$(dirname "${BASH_SOURCE[0]}")/source_python.sh"

FT_DIR="${VELKOR_FT_PYTHON_DIR:-/var/cache/velkor-ft-python}"
FT_WHEELS="$FT_DIR/wheels"
TOOLS_VENV="$ROOT/.venv-ft-tools"

# The installed interpreter, python3.13t (its name carries the version), or
# nothing.
ft_python() {
  local p
  for p in "$FT_DIR"/python/bin/python3.*t; do
    [ -x "$p" ] || continue
    echo "$p"; return 0
  done
  return 1
}

# Run by build_step in the source folder. The test extension modules are
# installed (_testcapi among them), CPython's own tests are not. The install
# precompiles the bytecode of the standard library's top-level modules only
# (compileall -l): the rest is compiled when first imported, which is a
# small part of it. Compiling all of it at three optimisation levels took
# nearly as long as compiling CPython on a busy machine, where this
# interpreter's own runs are slow (see host_pip_venv): 228 s beside
# stress-ng --cpu 4, where the musl CPython's took 13 s.
build_ft_cpython() {
  ./configure --prefix="$FT_DIR/python" --disable-gil --with-ensurepip=no OPT="-DNDEBUG -O2" &&
    make -j2 && make install TESTSUBDIRS= COMPILEALL_OPTS="-j0 -l"
}

# Builds CPython into $FT_DIR/python from the newest checked tarball served.
build_ft_python() {
  local work="$FT_DIR/build" tarball python t="$SECONDS"
  rm -rf "$work" "$FT_DIR/python"
  mkdir -p "$work" "$FT_DIR/src"
  sid_sources "$work"
  tarball="$(orig_tarball "$work" "$FT_DIR/src" python3.15 python3.14 python3.13)"
  echo "-- source from $SID_MIRROR, checked: $(basename "$tarball"): $((SECONDS - t)) s"
  build_step CPython "free-threaded, gcc, make -j2" "$tarball" "$work" build_ft_cpython
  python="$(ft_python)" && "$python" -c '
import ctypes, sysconfig, zlib, _testcapi
assert sysconfig.get_config_var("Py_GIL_DISABLED")' ||
    { echo "error: the CPython built in $FT_DIR/python is not a free-threaded one with ctypes, zlib and _testcapi" >&2; exit 1; }
  rm -rf "$work"
  ft_recipe >"$FT_DIR/python/.complete"
}

# The stamp of a complete interpreter: a digest of the functions that build
# it, so that a changed recipe is built anew.
ft_recipe() {
  declare -f build_ft_python build_step build_ft_cpython | sha256sum | cut -d ' ' -f 1
}

mapfile -t pythons < <(find_pythons)
[ "${#pythons[@]}" -gt 0 ] || no_python
echo "== free-threaded CPython: build and tests"

# A CPython with an up-to-date pip downloads the wheels; Ninja is the host's
# when it has one that answers, PyPI's otherwise.
tools=()
ninja --version >/dev/null 2>&1 || tools=(ninja)
host="$(venv_at "$TOOLS_VENV" "${pythons[0]}" "${tools[@]}")"

lock_cache "$FT_DIR" VELKOR_FT_PYTHON_DIR
if version="$(cached_version "$(ft_python)" "$FT_DIR/python" ft_recipe)"; then
  echo "-- CPython $version (free-threaded), cached in $FT_DIR"
else
  need_packages gcc make pkg-config libffi-dev zlib1g-dev curl xz-utils gpgv debian-archive-keyring
  build_ft_python
fi
python="$(ft_python)"
key="$(py_key "$python")"
xy="${key%%[a-z]*}"
# Only pure-Python wheels match the platform "any", and all that the venv
# needs are pure Python.
download_wheels "$host" "$FT_WHEELS" --implementation cp --python-version "$xy" \
  --abi "cp${xy/./}t" --platform any
flock -u 8

venv="${VELKOR_VENV_DIR:-$ROOT}/.venv-$key"
host_pip_venv "$python" "$venv" "$FT_WHEELS" "$host"

build="$ROOT/build/ft-$key"
# Configured afresh each run: the interpreter may have been built anew at
# the same path, and CMake would keep what it found of the old one.
rm -f "$build/CMakeCache.txt"
mkdir -p "$build/bin"
# scikit-build-core takes Ninja from PATH, and CMake too unless
# CMAKE_EXECUTABLE (common.sh) names one.
if [ "${#tools[@]}" -gt 0 ]; then ln -sf "$TOOLS_VENV/bin/ninja" "$build/bin/"; fi
status=0

t="$SECONDS"
log="$build/build.log"
rm -f "$log"
echo "-- building velkor with CPython $(key_label "$key") (log: $log)"
# The wheel is made by the build backend run on the free-threaded
# interpreter, as pip would run it without isolation, and installed by the
# host's pip (see host_pip_venv).
rm -rf "$build/dist"
(cd "$ROOT" && PATH="$build/bin:$PATH" build_logged "$log" "$vpython" -c '
import sys
from scikit_build_core.build import build_wheel
print("-- wheel", build_wheel(sys.argv[1], {"build-dir": sys.argv[2]}))' "$build/dist" "$build") &&
  "${host_install[@]}" -q --no-deps "$build"/dist/*.whl ||
  { echo "error: building velkor with $python failed" >&2; exit 1; }
echo "-- velkor built and installed into $(basename "$venv"): $((SECONDS - t)) s"

PYTHON_GIL=0 suite_outside "$vpython" "(free-threaded, PYTHON_GIL=0)"

if [ "$status" -eq 0 ]; then echo "== free-threaded check passed"; else echo "== free-threaded check FAILED" >&2; fi
exit "$status"

# Shared set-up for the project's scripts: find CPython >= 3.12 and make a virtual environment.
# Sourced by the scripts in this folder; not run on its own.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# scikit-build-core gives `cmake --version` five seconds to answer, and
# fails the build for want of CMake when it does not. Through a pyenv shim on
# a busy machine that is too little: a CMake 3.21 or later found on PATH is
# named to it by the path of its executable, which answers at once.
if [ -z "${CMAKE_EXECUTABLE:-}" ] && command -v cmake >/dev/null 2>&1; then
  _probe="$(mktemp)"
  echo 'if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.21)
  message(STATUS "${CMAKE_COMMAND}")
endif()' >"$_probe"
  _cmake="$(cmake -P "$_probe" 2>/dev/null | sed -n 's/^-- //p')" || true
  rm -f "$_probe"
  if [ -n "$_cmake" ] && [ -x "$_cmake" ]; then export CMAKE_EXECUTABLE="$_cmake"; fi
  unset _probe _cmake
fi

# Prints "MAJOR.MINOR" of a Python executable, or nothing.
py_version() {
  "$1" -c 'import sys, platform; assert platform.python_implementation() == "CPython"; print("%d.%d" % sys.version_info[:2])' 2>/dev/null
}

# Prints "MAJOR.MINOR" followed by the ABI flags that give a build an ABI of its
# own: "t" for a free-threaded build, "d" for a debug build (in the order of the
# wheel tags: 3.15t, 3.14d, 3.15td). Interpreters with the same key can share
# built extension modules; those with different keys cannot, so venvs, build
# folders and wheels are named by it. Prints nothing for anything but CPython.
py_key() {
  "$1" -c '
import platform, sys, sysconfig
assert platform.python_implementation() == "CPython"
flags = ""
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    flags += "t"
if sysconfig.get_config_var("Py_DEBUG") or hasattr(sys, "gettotalrefcount"):
    flags += "d"
print("%d.%d%s" % (sys.version_info[0], sys.version_info[1], flags))' 2>/dev/null
}

# The key as the scripts print it: "3.12", "3.15t (free-threaded)", "3.14d (debug)".
key_label() {
  local key="$1" flags kinds=""
  flags="${key#*.}"; flags="${flags##*[0-9]}"
  case "$flags" in *t*) kinds="free-threaded" ;; esac
  case "$flags" in *d*) kinds="${kinds:+$kinds, }debug" ;; esac
  echo "$key${kinds:+ ($kinds)}"
}

# The wheel for KEY in DIR (velkor-*-cp315-cp315t-*.whl for 3.15t), named by
# both its Python and ABI tags: velkor-*-cp315-*.whl would take in a cp315t
# wheel too. Prints its path; fails when there is none.
wheel_for() {
  local key="$1" dir="$2" xy flags
  xy="${key%%[a-z]*}"; flags="${key#"$xy"}"
  ls "$dir"/velkor-*-"cp${xy/./}-cp${xy/./}$flags"-*.whl 2>/dev/null
}

# True when the executable is CPython 3.12 or later.
py_ok() {
  local v
  v="$(py_version "$1")" || return 1
  [ -n "$v" ] || return 1
  local major="${v%%.*}" minor="${v#*.}"
  [ "$major" -eq 3 ] && [ "$minor" -ge 12 ]
}

# Lists every CPython >= 3.12 found, one per key (py_key): $PYTHON if set,
# then PATH, then pyenv. A free-threaded build counts apart from the normal
# build of the same version.
find_pythons() {
  local candidates=() seen="" c k
  if [ -n "${PYTHON:-}" ]; then
    candidates+=("$PYTHON")
  else
    for c in python3.15 python3.15t python3.14 python3.14t python3.13 python3.13t python3.12 python3 python; do
      command -v "$c" >/dev/null 2>&1 && candidates+=("$(command -v "$c")")
    done
    local pyenv_root=""
    if command -v pyenv >/dev/null 2>&1; then pyenv_root="$(pyenv root 2>/dev/null)"; fi
    [ -n "$pyenv_root" ] || pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    for c in "$pyenv_root"/versions/3.*/bin/python3 "$pyenv_root"/versions/3.*/bin/python3.*t; do
      [ -x "$c" ] && candidates+=("$c")
    done
  fi
  for c in "${candidates[@]}"; do
    py_ok "$c" || continue
    # A pyenv shim may point at another version than its name says; key by
    # what it actually runs.
    k="$(py_key "$c")"
    case " $seen " in *" $k "*) continue ;; esac
    seen="$seen $k"
    echo "$c"
  done
}

# Prints the newest CPython >= 3.12 found (the first of equals), or stops.
newest_python() {
  local pythons c v key best=0 newest=""
  mapfile -t pythons < <(find_pythons)
  [ "${#pythons[@]}" -gt 0 ] || no_python
  for c in "${pythons[@]}"; do
    v="$(py_version "$c")"
    key=$(( ${v%%.*} * 1000 + ${v#*.} ))
    if [ "$key" -gt "$best" ]; then best="$key"; newest="$c"; fi
  done
  echo "$newest"
}

no_python() {
  echo "error: velkor needs CPython 3.12 or later, and none was found on PATH or through pyenv." >&2
  echo "Install one, for example with 'pyenv install 3.12' or your system's python3.12 and python3.12-venv packages," >&2
  echo "or point PYTHON at an interpreter: PYTHON=/path/to/python3.12 $0" >&2
  exit 1
}

# The one way the scripts make a virtual environment: creates DIR with
# PYTHON unless it is there, brings pip up to date and installs PACKAGES
# (if any). Prints DIR's python; stops the script when it cannot.
# Scripts running at once that share an environment (Zig's) take turns on
# it, through a lock file inside it.
venv_at() {
  local dir="$1" python="$2" lock; shift 2
  mkdir -p "$dir"
  exec {lock}>"$dir/.velkor-lock"
  if command -v flock >/dev/null 2>&1; then flock "$lock"; fi
  if [ ! -x "$dir/bin/python" ]; then
    echo "-- making the virtual environment $dir" >&2
    "$python" -m venv "$dir" >&2 || { echo "error: could not create a virtual environment with $python (install its venv module)" >&2; exit 1; }
  fi
  echo "-- bringing pip up to date${1:+ and installing $*} in $(basename "$dir")" >&2
  "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2 || true
  if [ "$#" -gt 0 ]; then
    "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@" >&2 || {
      echo "error: could not install $* with $python" >&2; exit 1; }
  fi
  echo "$dir/bin/python"
  exec {lock}>&-
}

# Runs a build command (pip or python -m build) with its whole output
# appended to LOG, printing on standard error only the compiler's progress
# as Ninja reports it ("[12/39] src/algo/dijkstra.cpp.o"); when the command
# fails, prints the whole log. Returns the command's status. Call it as a
# condition (`build_logged ... || ...`), so that a failure returns here.
build_logged() {
  local log="$1"; shift
  mkdir -p "$(dirname "$log")"
  "$@" 2>&1 | tee -a "$log" |
    sed -un 's/^ *\(\[[0-9]*\/[0-9]*\]\) \(Building CXX object CMakeFiles\/[^/]*\.dir\/\)\{0,1\}\(.*\)$/   \1 \3/p' >&2
  local status=("${PIPESTATUS[@]}")
  if [ "${status[0]}" -ne 0 ]; then cat "$log" >&2; fi
  return "${status[0]}"
}

# Creates (or reuses) the virtual environment for one interpreter, .venv-KEY
# (.venv-3.12, .venv-3.15t) in the checkout or in $VELKOR_VENV_DIR, and
# installs velkor into it, plus any extra packages given. Prints the venv's python.
make_venv() {
  local python="$1"; shift
  local vpython key build_reqs
  key="$(py_key "$python")"
  # The build backend of pyproject.toml, with CMake and Ninja, lives in the
  # venv and the build folder is kept (build/pip-KEY): a build in a fresh
  # isolated environment each time would find the folder stale and compile
  # everything again, where a second build compiles only what changed.
  mapfile -t build_reqs < <("$python" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))' "$ROOT/pyproject.toml")
  vpython="$(venv_at "${VELKOR_VENV_DIR:-$ROOT}/.venv-$key" "$python" "${build_reqs[@]}" cmake ninja "$@")" || exit 1
  # Its build folder and log: in build/ of the checkout, or in
  # VELKOR_BUILD_DIR (for a checkout mounted read-only).
  local build_dir="${VELKOR_BUILD_DIR:-$ROOT/build}"
  local log="$build_dir/install-$key.log"
  rm -f "$log"
  echo "-- building velkor and installing it into .venv-$key (the first time about 2 minutes on 2 cores, then only what changed; log: $log)" >&2
  build_logged "$log" "$vpython" -m pip install -v --disable-pip-version-check --force-reinstall --no-deps \
    --no-build-isolation -C build-dir="$build_dir/pip-$key" "$ROOT" || {
    echo "error: building velkor with $python failed" >&2; exit 1; }
  echo "$vpython"
}

# Reports a failed check and marks the run as failed; the checks go on and
# exit with $status at the end.
fail() {
  echo "FAIL: $*" >&2
  status=1
}

# The environment holding Zig's C++ toolchain (PyPI package ziglang), CMake
# and Ninja, shared by the musl and cross checks: .venv-zig, made with
# PYTHON. Prints the zig executable; stops the script when it cannot.
ZIG_VENV="$ROOT/.venv-zig"
zig_venv() {
  local zig
  # One release series of Zig: its driver and bundled libc++ change between them.
  venv_at "$ZIG_VENV" "$1" "ziglang>=0.17,<0.18" "cmake>=3.21" ninja >/dev/null || exit 1
  zig="$("$ZIG_VENV/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
  [ -x "$zig" ] || { echo "error: no zig executable in the ziglang package ($zig)" >&2; exit 1; }
  echo "$zig"
}

# Writes DIR/c++ (compiling for TARGET), DIR/ar and DIR/ranlib: CMake wants
# one executable per tool, and these are small wrappers around ZIG's driver.
zig_tools() {
  local zig="$1" target="$2" dir="$3"
  mkdir -p "$dir"
  printf '#!/bin/sh\nexec "%s" c++ -target %s "$@"\n' "$zig" "$target" >"$dir/c++"
  printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$dir/ar"
  printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$dir/ranlib"
  chmod +x "$dir/c++" "$dir/ar" "$dir/ranlib"
}

# Installs the Debian packages given that are missing (as root, with
# apt-get). Scripts running at once (CI runs two at a time) take turns: apt's
# own locks make a second apt-get fail rather than wait.
need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  echo "-- installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    echo "error: needs the Debian packages ${missing[*]}; run as root on Debian or Ubuntu, or install them" >&2
    exit 1
  fi
  local out
  out="$(flock /run/lock/velkor-apt.lock sh -c '
    apt-get update -qq -o DPkg::Lock::Timeout=600 &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 "$@"' sh "${missing[@]}" 2>&1 </dev/null)" ||
    { echo "$out" >&2; echo "error: could not install ${missing[*]}" >&2; exit 1; }
}

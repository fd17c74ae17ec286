# Shared set-up for the project's scripts: find CPython >= 3.12 and make a virtual environment.
# Sourced by example.sh and test.sh; not run on its own.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Prints "MAJOR.MINOR" of a Python executable, or nothing.
py_version() {
  "$1" -c 'import sys, platform; assert platform.python_implementation() == "CPython"; print("%d.%d" % sys.version_info[:2])' 2>/dev/null
}

# True when the executable is CPython 3.12 or later.
py_ok() {
  local v
  v="$(py_version "$1")" || return 1
  [ -n "$v" ] || return 1
  local major="${v%%.*}" minor="${v#*.}"
  [ "$major" -eq 3 ] && [ "$minor" -ge 12 ]
}

# Lists every distinct CPython >= 3.12 found: $PYTHON if set, then PATH, then pyenv.
find_pythons() {
  local candidates=() seen="" c real v
  if [ -n "${PYTHON:-}" ]; then
    candidates+=("$PYTHON")
  else
    for c in python3.15 python3.14 python3.13 python3.12 python3 python; do
      command -v "$c" >/dev/null 2>&1 && candidates+=("$(command -v "$c")")
    done
    local pyenv_root=""
    if command -v pyenv >/dev/null 2>&1; then pyenv_root="$(pyenv root 2>/dev/null)"; fi
    [ -n "$pyenv_root" ] || pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    for c in "$pyenv_root"/versions/3.*/bin/python3; do
      [ -x "$c" ] && candidates+=("$c")
    done
  fi
  for c in "${candidates[@]}"; do
    py_ok "$c" || continue
    # A pyenv shim may point at another version than its name says; key by
    # the version it actually runs.
    v="$(py_version "$c")"
    case " $seen " in *" $v "*) continue ;; esac
    seen="$seen $v"
    echo "$c"
  done
}

no_python() {
  echo "error: velkor needs CPython 3.12 or later, and none was found on PATH or through pyenv." >&2
  echo "Install one, for example with 'pyenv install 3.12' or your system's python3.12 and python3.12-venv packages," >&2
  echo "or point PYTHON at an interpreter: PYTHON=/path/to/python3.12 $0" >&2
  exit 1
}

# Creates (or reuses) the virtual environment for one interpreter and
# installs velkor into it, plus any extra packages given. Prints the venv's python.
make_venv() {
  local python="$1"; shift
  local v venv
  v="$(py_version "$python")"
  venv="$ROOT/.venv-$v"
  if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv" >&2 || { echo "error: could not create a virtual environment with $python (install its venv module)" >&2; exit 1; }
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2 || true
  if [ "$#" -gt 0 ]; then
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "$@" >&2 || exit 1
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$ROOT" >&2 || {
    echo "error: building velkor with $python failed" >&2; exit 1; }
  echo "$venv/bin/python"
}

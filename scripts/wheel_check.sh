#!/usr/bin/env bash
# Checks what a user gets from the sdist and the wheels that scripts/test.sh
# builds (one wheel per CPython >= 3.12 found, from the sdist, each tested by
# test.sh with the whole suite): the sdist holds no local build output and
# everything building and testing need; each wheel holds the module, the
# stubs and the license, and installs into a fresh virtual environment outside
# the checkout, from which velkor is imported; mypy --strict accepts
# tests/typing/usage.py and rejects exactly the marked lines of
# tests/typing/misuse.py with the installed stubs; the extension module needs
# no glibc symbol version newer than 2.28 and exports PyInit_velkor alone.
# First it checks that cibuildwheel (from PyPI) would build the intended sets
# of Linux, macOS and Windows wheels.
# With --built, it checks what the last run of test.sh left in build/dist (CI
# runs it right after test.sh); without, it runs test.sh first.
# Set PYTHON=/path/to/python to check one interpreter only.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

mapfile -t pythons < <(find_pythons)
[ "${#pythons[@]}" -gt 0 ] || no_python

status=0
case "${1:-}" in
  --built) ;;
  "") "$ROOT/scripts/test.sh" || status=1 ;;
  *) echo "usage: $0 [--built]" >&2; exit 2 ;;
esac
dist="$ROOT/build/dist"
work="$(mktemp -d "${TMPDIR:-/tmp}/velkor-wheel-check.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# A virtual environment in the work folder with the given packages; prints its python.
fresh_venv() {
  local python="$1" name="$2"; shift 2
  venv_at "$work/$name" "$python" "$@"
}

# Lists the sdist's files and fails on local build output or on a missing file
# that building and testing need.
check_sdist() {
  local sdist="$1"
  tar tzf "$sdist" | "$2" -c '
import re, sys
names = [line.rstrip("\n") for line in sys.stdin]
top = names[0].split("/", 1)[0]
rel = [n.split("/", 1)[1] for n in names if "/" in n and n.split("/", 1)[1]]
local = re.compile(r"^(\.venv[^/]*|build|_skbuild|dist|\.git)(/|$)|(^|/)(__pycache__|\.pytest_cache|\.hypothesis|\.mypy_cache)(/|$)|\.(so|o|pyc)$")
bad = [n for n in rel if local.search(n)]
needed = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "src/velkor.cpp",
          "tests/conftest.py", "tests/cpp/test_core.cpp", "tests/typing/usage.py", "tests/typing/misuse.py",
          "python/velkor-stubs/__init__.pyi", "scripts/common.sh", "scripts/test.sh"]
missing = [n for n in needed if n not in rel]
print(f"   {len(rel)} entries under {top}/")
for n in bad:
    print(f"   local build output in the sdist: {n}")
for n in missing:
    print(f"   missing from the sdist: {n}")
sys.exit(1 if bad or missing else 0)'
}

# Lists the wheel's files and fails unless it holds the module, the stubs and the license.
check_wheel() {
  "$2" - "$1" <<'PY'
import re, sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
needed = {
    "the extension module": r"^velkor\.cpython-[^/]+\.so$",
    "the stubs": r"^velkor-stubs/__init__\.pyi$",
    "the license": r"^velkor-[^/]+\.dist-info/licenses/LICENSE$",
}
missing = [what for what, pattern in needed.items() if not any(re.match(pattern, n) for n in names)]
for what in missing:
    print(f"   missing from the wheel: {what}")
for n in sorted(names):
    print(f"   {n}")
sys.exit(1 if missing else 0)
PY
}

# The newest glibc symbol version the extension module may need: the module
# must load on every system of the manylinux_2_28 family (glibc 2.28 and
# later). The C++ runtime's own versions (GLIBCXX_, CXXABI_) are not counted.
max_glibc="2.28"

# Lists the glibc versions the module's undefined symbols ask for (objdump -T)
# and fails, naming the symbols, when one is newer than $max_glibc.
check_glibc() {
  local module="$1" table
  table="$(objdump -T "$module")" || { fail "objdump -T $module (objdump comes with binutils)"; return; }
  "$2" - "$max_glibc" "$table" <<'PY' || fail "the module needs glibc symbols newer than $max_glibc"
import re, sys
limit = tuple(int(x) for x in sys.argv[1].split("."))
needs = {}
for line in sys.argv[2].splitlines():
    m = re.search(r"\bGLIBC_(\d+(?:\.\d+)+)\b", line)
    if m and "*UND*" in line:
        needs.setdefault(tuple(int(x) for x in m.group(1).split(".")), []).append(line.split()[-1])
if not needs:
    print("   no versioned glibc symbols found: not a glibc-linked module?")
    sys.exit(1)
name = lambda v: "GLIBC_" + ".".join(map(str, v))
print("   glibc versions needed: " + ", ".join(name(v) for v in sorted(needs)))
bad = sorted(v for v in needs if v > limit)
for v in bad:
    print(f"   newer than GLIBC_{sys.argv[1]}: {name(v)}: {', '.join(sorted(set(needs[v])))}")
sys.exit(1 if bad else 0)
PY
}

# Fails unless the module's dynamic symbol table defines its entry point and
# nothing else: any other symbol could be interposed by another library.
check_exports() {
  local module="$1" defined
  defined="$(nm -D --defined-only "$module" | awk '{ print $NF }')" || {
    fail "nm -D $module (nm comes with binutils)"; return; }
  echo "   defined: $(echo $defined)"
  [ "$defined" = "PyInit_velkor" ] || fail "the module exports more than PyInit_velkor"
}

# Runs mypy --strict on misuse.py and fails unless the errors fall on exactly
# the lines marked "# rejected".
check_misuse() {
  local vpython="$1" file="$ROOT/tests/typing/misuse.py" out rc=0
  out="$(cd "$work" && "$vpython" -m mypy --strict --cache-dir=/dev/null "$file")" || rc=$?
  if [ "$rc" -ne 1 ]; then
    echo "$out"
    fail "mypy --strict exited with $rc on misuse.py (expected 1: type errors found)"
    return
  fi
  "$vpython" - "$file" "$out" <<'PY' || fail "mypy's errors on misuse.py are not exactly the marked lines"
import re, sys
path, out = sys.argv[1], sys.argv[2]
with open(path) as f:
    marked = {i for i, line in enumerate(f, 1) if line.rstrip().endswith("# rejected")}
found = {int(m.group(1)) for m in re.finditer(r"misuse\.py:(\d+): error:", out)}
for line in sorted(found - marked):
    print(f"   unexpected error on line {line}")
for line in sorted(marked - found):
    print(f"   no error on marked line {line}")
print(f"   mypy --strict misuse.py: {len(found & marked)} of {len(marked)} marked lines rejected, exit status 1")
sys.exit(0 if found == marked else 1)
PY
}

# The wheels that cibuildwheel would build from pyproject.toml's
# [tool.cibuildwheel] for Linux x86_64 and aarch64, macOS and Windows must be
# exactly those listed here. Printing the lists needs no container engine, Mac
# or Windows machine.
cibuildwheel_version="4.3.5"
check_cibuildwheel() {
  local cpython="$1" platform got expected v libc arch
  for platform in linux macos windows; do
    expected=""
    case "$platform" in
      linux)
        for libc in manylinux musllinux; do
          for arch in x86_64 aarch64; do
            for v in 312 313 314 315; do expected+="cp$v-${libc}_$arch"$'\n'; done
          done
        done ;;
      macos)
        for arch in x86_64 arm64; do
          for v in 312 313 314 315; do expected+="cp$v-macosx_$arch"$'\n'; done
        done ;;
      windows)
        for v in 312 313 314 315; do expected+="cp$v-win_amd64"$'\n'; done ;;
    esac
    local args=(--platform "$platform")
    [ "$platform" != linux ] || args+=(--archs x86_64,aarch64)
    echo "== cibuildwheel $cibuildwheel_version: builds for ${args[*]}"
    # Options that CIBW_* variables would set do not count: pyproject.toml's do.
    got="$(cd "$ROOT" && for var in ${!CIBW_@}; do unset "$var"; done &&
      "$(dirname "$cpython")/cibuildwheel" --print-build-identifiers "${args[@]}")" || {
      fail "cibuildwheel rejected the configuration for $platform"; continue; }
    got="$(sort <<<"$got")"
    expected="$(sort <<<"${expected%$'\n'}")"
    if [ "$got" = "$expected" ]; then
      echo "   $(wc -l <<<"$got") builds: $(tr '\n' ' ' <<<"$got")"
    else
      diff <(echo "$expected") <(echo "$got") | sed -n 's/^</   missing:/p; s/^>/   unexpected:/p' || true
      fail "cibuildwheel's builds for $platform are not the $(wc -l <<<"$expected") expected"
    fi
  done
}

cibw_python="$(fresh_venv "${pythons[0]}" cibuildwheel "cibuildwheel==$cibuildwheel_version")"
check_cibuildwheel "$cibw_python"

echo "== sdist"
sdist="$(ls "$dist"/velkor-*.tar.gz 2>/dev/null)" || { echo "error: no sdist in $dist: run scripts/test.sh first" >&2; exit 1; }
echo "   $(basename "$sdist")"
check_sdist "$sdist" "$cibw_python" || fail "the sdist's file list"

for python in "${pythons[@]}"; do
  k="$(py_key "$python")"
  echo "== CPython $(key_label "$k") ($python)"
  wheel="$(wheel_for "$k" "$dist")" || {
    fail "no wheel for CPython $k in $dist"; continue; }
  echo "-- wheel: $(basename "$wheel")"
  check_wheel "$wheel" "$cibw_python" || fail "the wheel's contents"

  vpython="$(fresh_venv "$python" "venv-$k" "$wheel" mypy)"
  where="$(cd "$work" && "$vpython" -c 'import velkor; print(velkor.__file__)')" || { fail "importing velkor"; continue; }
  echo "   velkor.__file__ = $where"
  case "$where" in
    "$work/venv-$k/"*) ;;
    *) fail "velkor was not imported from the fresh environment" ;;
  esac

  echo "-- glibc symbol versions of $(basename "$where")"
  check_glibc "$where" "$vpython"
  echo "-- dynamic symbols defined by $(basename "$where")"
  check_exports "$where"

  echo "-- mypy --strict tests/typing/usage.py"
  (cd "$work" && "$vpython" -m mypy --strict --cache-dir=/dev/null "$ROOT/tests/typing/usage.py") |
    sed 's/^/   /' || fail "mypy --strict rejected usage.py"
  echo "-- mypy --strict tests/typing/misuse.py (must be rejected)"
  check_misuse "$vpython"
done

if [ "$status" -eq 0 ]; then echo "== wheel check passed"; else echo "== wheel check FAILED" >&2; fi
exit "$status"

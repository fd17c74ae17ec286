#!/usr/bin/env bash
# Builds the sdist and, from it, a wheel for every CPython >= 3.12 found with
# `python -m build`, and checks what a user gets: the sdist holds no local build
# output, the wheel installs into a fresh virtual environment outside the
# checkout, mypy --strict accepts tests/typing/usage.py and rejects exactly the
# marked lines of tests/typing/misuse.py with the installed stubs, and the test
# suite passes against the installed wheel; the extension module needs no glibc
# symbol version newer than 2.28 and exports PyInit_velkor alone. First it
# checks that cibuildwheel (from PyPI) would build the intended sets of Linux,
# macOS and Windows wheels.
# Set PYTHON=/path/to/python to check one interpreter only. Set VELKOR_DIST=DIR
# to keep the sdist and the wheels in DIR (by default they are thrown away).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

mapfile -t pythons < <(find_pythons)
[ "${#pythons[@]}" -gt 0 ] || no_python

work="$(mktemp -d "${TMPDIR:-/tmp}/velkor-wheel-check.XXXXXX")"
trap 'rm -rf "$work"' EXIT
dist="${VELKOR_DIST:-$work/dist}"
mkdir -p "$dist"
dist="$(cd "$dist" && pwd)"
pip_flags=(-q --disable-pip-version-check)

fail() {
  echo "FAIL: $*" >&2
  status=1
}

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
          "tests/conftest.py", "tests/typing/usage.py", "tests/typing/misuse.py",
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

status=0
cibw_python="$(fresh_venv "${pythons[0]}" cibuildwheel "cibuildwheel==$cibuildwheel_version")"
check_cibuildwheel "$cibw_python"

first=1
for python in "${pythons[@]}"; do
  k="$(py_key "$python")"
  read -r py_tag abi_tag < <(key_wheel_tags "$k")
  echo "== CPython $(key_label "$k") ($python)"
  bpython="$(fresh_venv "$python" "build-$k" build)"

  if [ "$first" -eq 1 ]; then
    first=0
    echo "-- sdist"
    rm -f "$dist"/velkor-*.tar.gz
    "$bpython" -m build --sdist --outdir "$dist" "$ROOT" >"$work/build-sdist.log" 2>&1 || {
      cat "$work/build-sdist.log"; echo "error: building the sdist failed" >&2; exit 1; }
    sdist="$(ls "$dist"/velkor-*.tar.gz)"
    echo "   $(basename "$sdist")"
    check_sdist "$sdist" "$bpython" || fail "the sdist's file list"
    mkdir -p "$work/sdist"
    tar xzf "$sdist" -C "$work/sdist"
    srcdir="$(echo "$work"/sdist/velkor-*)"
  fi

  # Every wheel is built from the unpacked sdist, which so proves complete.
  echo "-- wheel"
  # Named by both tags: velkor-*-cp315-*.whl would take in a cp315t wheel too.
  rm -f "$dist"/velkor-*-"$py_tag-$abi_tag"-*.whl
  "$bpython" -m build --wheel --outdir "$dist" "$srcdir" >"$work/build-wheel-$k.log" 2>&1 || {
    cat "$work/build-wheel-$k.log"; fail "building the wheel with CPython $k"; continue; }
  wheel="$(ls "$dist"/velkor-*-"$py_tag-$abi_tag"-*.whl)"
  echo "   wheel: $(basename "$wheel")"
  check_wheel "$wheel" "$bpython" || fail "the wheel's contents"

  vpython="$(fresh_venv "$python" "venv-$k" "$wheel[test]" mypy)"
  where="$(cd "$work" && "$vpython" -c 'import velkor; print(velkor.__file__)')" || { fail "importing velkor"; continue; }
  echo "   velkor.__file__ = $where"
  case "$where" in
    "$work/venv-$k/"*) ;;
    *) fail "velkor was not imported from the fresh environment" ;;
  esac

  echo "-- glibc symbol versions of $(basename "$where")"
  check_glibc "$where" "$bpython"
  echo "-- dynamic symbols defined by $(basename "$where")"
  check_exports "$where"

  echo "-- mypy --strict tests/typing/usage.py"
  (cd "$work" && "$vpython" -m mypy --strict --cache-dir=/dev/null "$ROOT/tests/typing/usage.py") |
    sed 's/^/   /' || fail "mypy --strict rejected usage.py"
  echo "-- mypy --strict tests/typing/misuse.py (must be rejected)"
  check_misuse "$vpython"

  echo "-- pytest against the installed wheel (CPython $k)"
  (cd "$work" && "$vpython" -m pytest -q -p no:cacheprovider "$ROOT/tests") || fail "pytest with CPython $k"
done

if [ "$status" -eq 0 ]; then echo "== wheel check passed"; else echo "== wheel check FAILED" >&2; fi
exit "$status"

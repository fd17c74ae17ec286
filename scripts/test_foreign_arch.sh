#!/usr/bin/env bash
# Runs velkor where its wheels go but this machine is not: the C++ core tests
# and the whole pytest suite on Linux arm64 (aarch64), s390x (64-bit,
# big-endian) and i386 (32-bit), each in a Debian sid root of that
# architecture with Debian's CPython. arm64 and s390x run through QEMU's
# user-mode emulation, i386 natively. velkor is cross-built here with
# Debian's cross compilers (warnings as errors) against the root's own
# CPython headers and extension suffix, packed into a wheel, installed into a
# venv in the root and tested there. Tests that cannot hold under emulation
# are left out by their marker, with the reason printed (pytest -rs).
#
# The roots are made on the first run (a few minutes each; see
# scripts/debian_root.sh) and kept in VELKOR_FOREIGN_ROOTS (default
# /var/cache), as velkor-sid-ARCH-root. Needs root. Fails when a root,
# build or interpreter cannot be set up, as when a test fails, and says which.
# Name architectures to run only those: ./scripts/test_foreign_arch.sh s390x
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/debian_root.sh"

all_arches=(arm64 s390x i386)
pyver=3.14
packages=("python$pyver" "python$pyver-venv" "python$pyver-dev" libstdc++6 ca-certificates)
venv_in_root=/var/lib/velkor/.venv-foreign

# ---------------------------------------------------------------- inside a root

if [ "${1:-}" = "--inside" ]; then
  arch="$2" wheel="$3" tests="$4"
  work="$(mktemp -d /tmp/velkor-foreign.XXXXXX)"
  # The test extra of pyproject.toml, as `pip install .[test]` would take it.
  mapfile -t test_reqs < <("python$pyver" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))' "$ROOT/pyproject.toml")
  echo "-- venv with ${test_reqs[*]} and $(basename "$wheel")"
  vpython="$(venv_at "$venv_in_root" "/usr/bin/python$pyver" "${test_reqs[@]}")"
  "$vpython" -m pip install -q --force-reinstall --no-deps "$wheel" || {
    echo "FAIL: installing $(basename "$wheel") on $arch" >&2; exit 1; }
  status=0
  echo "-- C++ core tests on $arch ($(uname -m))"
  "$tests" || fail "C++ core tests on $arch"
  echo "-- pytest on $arch, CPython $("$vpython" -c 'import platform; print(platform.python_version())'), $(basename "$wheel")"
  (cd "$work" && "$vpython" -m pytest -q -p no:cacheprovider -rs "$ROOT/tests") || fail "pytest on $arch"
  exit "$status"
fi

# ---------------------------------------------------------------- on the host

arches=("$@")
[ "${#arches[@]}" -gt 0 ] || arches=("${all_arches[@]}")
for a in "${arches[@]}"; do
  case " ${all_arches[*]} " in *" $a "*) ;; *) echo "error: no architecture '$a' (architectures: ${all_arches[*]})" >&2; exit 2 ;; esac
done

triplet() {
  case "$1" in arm64) echo aarch64-linux-gnu ;; s390x) echo s390x-linux-gnu ;; i386) echo i686-linux-gnu ;; esac
}
compilers=()
for a in "${arches[@]}"; do compilers+=("g++-$(triplet "$a")"); done
need_packages "${compilers[@]}" mmdebstrap arch-test
zig="$(zig_venv "$(newest_python)")"
cmake="$ZIG_VENV/bin/cmake" ninja="$ZIG_VENV/bin/ninja"
version="$("$ZIG_VENV/bin/python" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print(tomllib.load(f)["project"]["version"])' "$ROOT/pyproject.toml")"

# Packs the module built for ARCH into a wheel tagged for the root's CPython,
# as a wheel built there would be: the module and the stub package beside it.
pack_wheel() {
  "$ZIG_VENV/bin/python" - "$@" <<'EOF'
import base64, hashlib, pathlib, sys, zipfile
module, stubs, out, tag, version = sys.argv[1:]
files = {pathlib.Path(module).name: pathlib.Path(module).read_bytes(),
         "velkor-stubs/__init__.pyi": pathlib.Path(stubs).read_bytes()}
info = f"velkor-{version}.dist-info"
files[f"{info}/METADATA"] = f"Metadata-Version: 2.1\nName: velkor\nVersion: {version}\nRequires-Python: >=3.12\n".encode()
files[f"{info}/WHEEL"] = f"Wheel-Version: 1.0\nGenerator: velkor cross build\nRoot-Is-Purelib: false\nTag: {tag}\n".encode()
def digest(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
record = "".join(f"{name},{digest(data)},{len(data)}\n" for name, data in files.items()) + f"{info}/RECORD,,\n"
files[f"{info}/RECORD"] = record.encode()
path = pathlib.Path(out) / f"velkor-{version}-{tag}.whl"
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
    for name, data in files.items():
        z.writestr(name, data)
print(path)
EOF
}

# Sets up the root, cross-builds, packs and tests one architecture.
run_arch() {
  local arch="$1" root dir t0=$SECONDS cxx tag suffix multiarch wrapper wheel cpu extra_flags
  root="$(realpath -m "${VELKOR_FOREIGN_ROOTS:-/var/cache}/velkor-sid-$arch-root")"
  echo "== Linux $arch"
  lock_root "$root"
  ( ensure_root "$root" "$arch" "${packages[@]}" ) || { fail "setting up the Debian sid $arch root"; return; }
  # What the root's CPython builds extension modules as.
  read -r tag suffix multiarch < <(in_root "$root" "$arch" "/usr/bin/python$pyver" -c '
import sys, sysconfig
v = "cp%d%d" % sys.version_info[:2]
print("%s-%s-%s" % (v, v, sysconfig.get_platform().replace("-", "_").replace(".", "_")),
      *sysconfig.get_config_vars("EXT_SUFFIX", "MULTIARCH"))') || true
  [ -n "${suffix:-}" ] || { fail "CPython $pyver does not run in the $arch root"; return; }
  cxx="$(triplet "$arch")-g++"
  echo "-- cross build with $cxx $("$cxx" -dumpversion) for CPython $pyver ($tag, $suffix)"
  dir="$ROOT/build/foreign-$arch"
  rm -rf "$dir"; mkdir -p "$dir/dist" "$dir/include/$multiarch"
  # Debian's pyconfig.h includes <MULTIARCH/python3.X/pyconfig.h>: that folder
  # alone is added, not the rest of the root's MULTIARCH headers (its C library's).
  ln -s "$root/usr/include/$multiarch/python$pyver" "$dir/include/$multiarch/python$pyver"
  # GCC 12 at -O3 on i686 warns of overlapping copies inside std::string
  # that cannot happen (GCC bug 105651).
  extra_flags=""
  [ "$arch" != i386 ] || extra_flags="-Wno-restrict"
  # CMake asks the target's interpreter itself for its version and ABI.
  wrapper="$dir/python$pyver"
  cpu="$(qemu_cpu "$arch")"
  printf '#!/bin/sh\n%sexec chroot "%s" /usr/bin/python%s "$@"\n' "${cpu:+QEMU_CPU=$cpu }" "$root" "$pyver" >"$wrapper"
  chmod +x "$wrapper"
  if ! "$cmake" -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="${cxx%%-*}" -DCMAKE_CXX_COMPILER="$cxx" \
      -DCMAKE_CXX_FLAGS="-Werror -isystem $dir/include $extra_flags" -DVELKOR_BUILD_TESTS=ON \
      -DPython_EXECUTABLE="$wrapper" -DPython_INCLUDE_DIR="$root/usr/include/python$pyver" \
      >"$dir/configure.log" 2>&1; then
    cat "$dir/configure.log"; fail "configuring the $arch build"; return; fi
  "$ninja" -C "$dir" >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; fail "building velkor for $arch"; return; }
  # CMake's FindPython gives a cross build no ABI suffix; the module is named
  # by the root's interpreter's.
  [ -f "$dir/velkor.so" ] || { ls "$dir"; fail "the $arch build made no extension module"; return; }
  mv "$dir/velkor.so" "$dir/velkor$suffix"
  wheel="$(pack_wheel "$dir/velkor$suffix" "$ROOT/python/velkor-stubs/__init__.pyi" "$dir/dist" "$tag" "$version")"
  in_root "$root" "$arch" bash "$src_in_root/scripts/$(basename "${BASH_SOURCE[0]}")" --inside "$arch" \
    "$src_in_root/${wheel#"$ROOT"/}" "$src_in_root/build/foreign-$arch/velkor_core_tests" || {
    fail "the tests on $arch"; return; }
  echo "== Linux $arch passed ($(( SECONDS - t0 )) s)"
}

status=0
for a in "${arches[@]}"; do run_arch "$a"; done
if [ "$status" -eq 0 ]; then echo "== foreign architectures passed (${arches[*]})"; else echo "== foreign architectures FAILED" >&2; fi
exit "$status"

#!/usr/bin/env bash
# Runs the test suite (pytest against velkor built and installed with pip) with
# the newest CPythons that Debian ships: python3.14 and python3.15 of Debian
# unstable (sid), in a Debian sid root (scripts/debian_root.sh: made with
# mmdebstrap from this machine's own Debian mirror, entered with chroot in a
# private mount namespace, the checkout read-only at /src). Their virtual
# environments are kept inside the root.
#
# Making the root takes a few minutes and about 1.1 GB. It is kept outside the
# checkout, in /var/cache/velkor-sid-root (set VELKOR_SID_ROOT to choose
# another folder), and reused while it is complete and holds the packages
# listed below; VELKOR_SID_REFRESH=1 makes it anew, and VELKOR_DEBIAN_MIRROR
# overrides the mirror.
#
# Needs root. Fails when an interpreter cannot be set up, as when a test fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/debian_root.sh"

# The interpreters tested, and what the root holds for them.
sid_pythons=(3.14 3.15)
sid_packages=(g++ cmake ninja-build)
for v in "${sid_pythons[@]}"; do
  sid_packages+=("python$v" "python$v-dev" "python$v-venv")
done
venvs_in_root=/var/lib/velkor

# ---------------------------------------------------------------- inside the root

if [ "${1:-}" = "--inside" ]; then
  [ -f /.velkor-root-complete ] || { echo "error: --inside is for the Debian sid root only" >&2; exit 2; }
  export VELKOR_VENV_DIR="$venvs_in_root" VELKOR_BUILD_DIR="$venvs_in_root/build"
  mkdir -p "$VELKOR_VENV_DIR"
  work="$(mktemp -d /tmp/velkor-sid.XXXXXX)"

  status=0
  for v in "${sid_pythons[@]}"; do
    python="/usr/bin/python$v"
    if [ ! -x "$python" ] || ! py_ok "$python"; then
      echo "FAIL: CPython $v: $python is missing or does not run" >&2
      status=1; continue
    fi
    k="$(py_key "$python")"
    if [ "${k%%[a-z]*}" != "$v" ]; then
      echo "FAIL: $python is CPython $k, not $v" >&2
      status=1; continue
    fi
    read -r full soabi < <("$python" -c 'import platform, sysconfig; print(platform.python_version(), sysconfig.get_config_var("SOABI"))')
    echo "== CPython $(key_label "$k") ($python): version $full, ABI $soabi"

    # The test extra of pyproject.toml, as `pip install .[test]` would take it.
    mapfile -t test_reqs < <("$python" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))' "$ROOT/pyproject.toml")
    echo "-- building and installing velkor with test requirements: ${test_reqs[*]}"
    vpython="$(make_venv "$python" "${test_reqs[@]}")" || {
      echo "FAIL: could not set up velkor with CPython $k" >&2
      status=1; continue
    }
    where="$(cd "$work" && "$vpython" -c 'import velkor; print(velkor.__file__)')" || {
      echo "FAIL: importing velkor with CPython $k" >&2
      status=1; continue
    }
    echo "   velkor.__file__ = $where"
    case "$where" in
      "$VELKOR_VENV_DIR/.venv-$k/"*) ;;
      *) echo "FAIL: velkor was not imported from $VELKOR_VENV_DIR/.venv-$k" >&2; status=1; continue ;;
    esac
    echo "-- pytest (CPython $k, Debian sid)"
    (cd "$work" && "$vpython" -m pytest -q -p no:cacheprovider "$ROOT/tests") || {
      echo "FAIL: pytest with CPython $k" >&2; status=1; }
  done
  exit "$status"
fi

# ---------------------------------------------------------------- on the host

start=$SECONDS
sid_root="$(realpath -m "${VELKOR_SID_ROOT:-/var/cache/velkor-sid-root}")"
lock_root "$sid_root"
ensure_root "$sid_root" amd64 "${sid_packages[@]}"

status=0
in_root "$sid_root" amd64 bash "$src_in_root/scripts/$(basename "${BASH_SOURCE[0]}")" --inside || status=$?
if [ "$status" -eq 0 ]; then
  echo "== Debian sid: CPython ${sid_pythons[*]} passed ($(( SECONDS - start )) s)"
else
  echo "== Debian sid: FAILED ($(( SECONDS - start )) s)" >&2
fi
exit "$status"

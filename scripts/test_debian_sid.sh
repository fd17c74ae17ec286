#!/usr/bin/env bash
# Runs the test suite (pytest against velkor built and installed with pip) with
# the newest CPythons that Debian ships: python3.14 and python3.15 of Debian
# unstable (sid). They run in a Debian sid root made with debootstrap from this
# machine's own Debian mirror (the one its apt sources name) and entered with
# chroot in a private mount namespace, with the checkout mounted read-only at
# /src. Their virtual environments are kept inside the root.
#
# Making the root takes a few minutes and about 1.1 GB. It is kept outside the
# checkout, in /var/cache/velkor-sid-root (set VELKOR_SID_ROOT to choose
# another folder), and reused while it is complete and holds the packages
# listed below; a root left half made is made anew, and so is any root when
# VELKOR_SID_REFRESH=1. VELKOR_DEBIAN_MIRROR overrides the mirror.
#
# Needs root, debootstrap (installed with apt-get when missing), unshare and
# chroot. Fails when an interpreter cannot be set up, as when a test fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# The interpreters tested, and what the root holds for them.
sid_pythons=(3.14 3.15)
sid_packages=(g++ cmake ninja-build)
for v in "${sid_pythons[@]}"; do
  sid_packages+=("python$v" "python$v-dev" "python$v-venv")
done
# What a complete root was made with; a root made otherwise is made anew.
recipe="debian sid, minbase, ${sid_packages[*]}"
stamp_name=".velkor-sid-root-complete"
src_in_root=/src
venvs_in_root=/var/lib/velkor

# ---------------------------------------------------------------- inside the root

if [ "${1:-}" = "--inside" ]; then
  [ -f "/$stamp_name" ] || { echo "error: --inside is for the Debian sid root only" >&2; exit 2; }
  export VELKOR_VENV_DIR="$venvs_in_root"
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
[ "$(id -u)" -eq 0 ] || { echo "error: $0 needs root (debootstrap, unshare --mount, chroot)" >&2; exit 1; }
for tool in unshare chroot flock; do
  command -v "$tool" >/dev/null 2>&1 || { echo "error: $tool not found (util-linux, coreutils)" >&2; exit 1; }
done

sid_root="${VELKOR_SID_ROOT:-/var/cache/velkor-sid-root}"
case "$sid_root" in
  /*) ;;
  *) echo "error: VELKOR_SID_ROOT must be an absolute path: $sid_root" >&2; exit 1 ;;
esac
sid_root="$(realpath -m "$sid_root")"
case "$sid_root" in
  / | /usr | /usr/* | /etc | /etc/* | /proc | /proc/* | /sys | /sys/* | /dev | /dev/*)
    echo "error: will not make a Debian root in $sid_root" >&2; exit 1 ;;
esac
case "$sid_root/" in
  "$ROOT"/*) echo "error: the Debian sid root must be outside the checkout ($sid_root)" >&2; exit 1 ;;
esac
case "$ROOT/" in
  "$sid_root"/*) echo "error: the Debian sid root must not hold the checkout ($sid_root)" >&2; exit 1 ;;
esac
stamp="$sid_root/$stamp_name"
# Written first when a root is made: only a folder holding it (or an empty
# one) is ever removed.
owner="$sid_root/.velkor-sid-root"

# The Debian mirror: the archive that this machine's apt sources name for its
# release suite (not -security or -updates), as apt itself reads them.
debian_mirror() {
  if [ -n "${VELKOR_DEBIAN_MIRROR:-}" ]; then echo "$VELKOR_DEBIAN_MIRROR"; return; fi
  command -v apt-get >/dev/null 2>&1 || return 1
  apt-get indextargets --no-release-info --format '$(TARGET_OF) $(RELEASE) $(REPO_URI)' 2>/dev/null |
    awk '$1 == "deb" && $2 !~ /[-\/]/ && $3 ~ /^https?:/ { print $3; exit }'
}

# Environment inside the root: nothing of the host's but proxies.
root_env=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
  DEBIAN_FRONTEND=noninteractive PYTHONDONTWRITEBYTECODE=1 PIP_DISABLE_PIP_VERSION_CHECK=1
  PIP_DEFAULT_TIMEOUT="${PIP_DEFAULT_TIMEOUT:-120}"
  SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt PIP_CERT=/etc/ssl/certs/ca-certificates.crt)
for var in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
  [ -n "${!var:-}" ] && root_env+=("$var=${!var}")
done

# Runs a command in the root, in a mount namespace of its own: /proc, /dev,
# /sys (read-only, but for the cgroup hierarchies, which the memory tests
# limit), a fresh /tmp and the checkout (read-only, at /src) are mounted
# there and go away with it, whatever happens.
in_root() {
  cp -L /etc/resolv.conf "$sid_root/etc/resolv.conf.velkor" && mv -f "$sid_root/etc/resolv.conf.velkor" "$sid_root/etc/resolv.conf"
  install -D -m 644 /etc/ssl/certs/ca-certificates.crt "$sid_root/etc/ssl/certs/ca-certificates.crt"
  mkdir -p "$sid_root$src_in_root"
  unshare --mount --propagation private -- bash -euc '
    r="$1" src="$2" dst="$3"; shift 3
    mount -t proc proc "$r/proc"
    mount --rbind /dev "$r/dev"
    mount -t sysfs -o ro sysfs "$r/sys"
    if mountpoint -q /sys/fs/cgroup; then mount --rbind /sys/fs/cgroup "$r/sys/fs/cgroup"; fi
    mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
    mount --bind "$src" "$r$dst"
    mount -o remount,bind,ro "$r$dst"
    exec chroot "$r" /usr/bin/env -i "$@"
  ' in_root "$sid_root" "$ROOT" "$src_in_root" "${root_env[@]}" "$@" </dev/null
}

# Removes the root, refusing while anything is mounted in it, or when the
# folder is not one that this script made.
remove_root() {
  [ -e "$sid_root" ] || return 0
  if [ ! -f "$owner" ] && [ -n "$(ls -A "$sid_root")" ]; then
    echo "error: $sid_root is not empty and was not made by $0; remove it or set VELKOR_SID_ROOT" >&2
    exit 1
  fi
  if awk -v r="$sid_root/" 'index($5 "/", r) == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
    echo "error: something is mounted under $sid_root; unmount it first" >&2
    exit 1
  fi
  rm -rf --one-file-system "$sid_root"
}

make_root() {
  local t0=$SECONDS mirror log="$sid_root.log"
  if ! command -v debootstrap >/dev/null 2>&1; then
    command -v apt-get >/dev/null 2>&1 || { echo "error: debootstrap not found" >&2; exit 1; }
    echo "-- installing debootstrap"
    local out
    out="$({ apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap; } 2>&1 </dev/null)" ||
      { echo "$out" >&2; echo "error: could not install debootstrap" >&2; exit 1; }
  fi
  mirror="$(debian_mirror)" || true
  [ -n "$mirror" ] || {
    echo "error: no Debian mirror found in the apt sources; set VELKOR_DEBIAN_MIRROR" >&2; exit 1; }
  echo "-- making a Debian sid root in $sid_root from $mirror (takes a few minutes; log in $log)"
  remove_root
  mkdir -p "$sid_root"
  echo "Debian sid root made by velkor's $(basename "$0"); removed and made anew when incomplete" >"$owner"
  # debootstrap mounts /proc and /sys in the root while it works: in a mount
  # namespace of its own, they cannot outlive it.
  if ! unshare --mount --propagation private -- \
      debootstrap --variant=minbase sid "$sid_root" "$mirror" >"$log" 2>&1 </dev/null; then
    tail -n 30 "$log" >&2
    echo "error: debootstrap of Debian sid from $mirror failed (log: $log)" >&2
    exit 1
  fi
  # A mirror that this machine's apt is told to take past its Release file's
  # Valid-Until (a snapshot of the archive) is taken so in the root too.
  local check_valid_until=""
  if command -v apt-config >/dev/null 2>&1; then
    eval "$(apt-config shell check_valid_until Acquire::Check-Valid-Until)"
  fi
  case "$check_valid_until" in
    false | no | 0) echo 'Acquire::Check-Valid-Until "false";' >"$sid_root/etc/apt/apt.conf.d/99velkor-check-valid-until" ;;
  esac
  echo "-- installing ${sid_packages[*]}"
  if ! { in_root apt-get update -q && in_root apt-get install -y -q --no-install-recommends "${sid_packages[@]}" &&
         in_root apt-get clean; } >>"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "error: installing the packages in the Debian sid root failed (log: $log)" >&2
    exit 1
  fi
  echo "$recipe" >"$stamp"
  echo "-- Debian sid root made in $(( SECONDS - t0 )) s ($(du -sh --one-file-system "$sid_root" | cut -f1))"
}

# One run at a time per root: a second waits rather than use a root being made.
mkdir -p "$(dirname "$sid_root")"
exec 9>"$sid_root.lock"
flock 9

if [ "${VELKOR_SID_REFRESH:-0}" = 1 ] || [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$recipe" ]; then
  make_root
else
  echo "-- reusing the Debian sid root in $sid_root (VELKOR_SID_REFRESH=1 makes it anew)"
fi

status=0
in_root bash "$src_in_root/scripts/$(basename "${BASH_SOURCE[0]}")" --inside || status=$?
if [ "$status" -eq 0 ]; then
  echo "== Debian sid: CPython ${sid_pythons[*]} passed ($(( SECONDS - start )) s)"
else
  echo "== Debian sid: FAILED ($(( SECONDS - start )) s)" >&2
fi
exit "$status"

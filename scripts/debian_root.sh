# Debian packages and sid roots, for the scripts that test velkor with Debian's own
# interpreters: made with mmdebstrap from this machine's own Debian mirror (the
# one its apt sources name), kept outside the checkout, reused while complete,
# and entered with chroot in a private mount namespace with the checkout
# mounted read-only at /src. A root of another architecture runs through
# QEMU's user-mode emulation (binfmt_misc; set up here), i386 natively.
# Sourced after common.sh; not run on its own. Needs root.

src_in_root=/src

# The Debian mirror: the archive that this machine's apt sources name for its
# release suite (not -security or -updates), as apt itself reads them.
debian_mirror() {
  if [ -n "${VELKOR_DEBIAN_MIRROR:-}" ]; then echo "$VELKOR_DEBIAN_MIRROR"; return; fi
  command -v apt-get >/dev/null 2>&1 || return 1
  apt-get indextargets --no-release-info --format '$(TARGET_OF) $(RELEASE) $(REPO_URI)' 2>/dev/null |
    awk '$1 == "deb" && $2 !~ /[-\/]/ && $3 ~ /^https?:/ { print $3; exit }'
}

# QEMU's name of a Debian architecture, and the CPU model it emulates fastest:
# Debian's arm64 binaries use pointer authentication, which QEMU's default
# model emulates many times slower; the Cortex-A72 has none, so those
# instructions are no-ops.
qemu_arch() {
  case "$1" in arm64) echo aarch64 ;; *) echo "$1" ;; esac
}
qemu_cpu() {
  case "$1" in arm64) echo cortex-a72 ;; esac
}

# Makes sure this kernel runs ARCH's programs: natively for amd64 and i386,
# otherwise through qemu-user-static registered with binfmt_misc (with the
# F flag of Debian's entries, so that it works inside a chroot).
can_run_arch() {
  local arch="$1" q
  need_packages arch-test
  case "$arch" in amd64 | i386) arch-test "$arch" >/dev/null 2>&1 && return 0
    echo "error: this kernel does not run $arch programs" >&2; return 1 ;; esac
  need_packages qemu-user-static
  q="$(qemu_arch "$arch")"
  local misc=/proc/sys/fs/binfmt_misc
  [ -e "$misc/register" ] || mount -t binfmt_misc binfmt_misc "$misc" || {
    echo "error: cannot mount binfmt_misc at $misc" >&2; return 1; }
  if [ ! -e "$misc/qemu-$q" ]; then
    [ -f "/usr/lib/binfmt.d/qemu-$q.conf" ] || { echo "error: qemu-user-static has no binfmt entry for $q" >&2; return 1; }
    cat "/usr/lib/binfmt.d/qemu-$q.conf" >"$misc/register" || { echo "error: cannot register qemu-$q with binfmt_misc" >&2; return 1; }
  fi
  [ "$(head -n 1 "$misc/qemu-$q")" = enabled ] || echo 1 >"$misc/qemu-$q"
  arch-test "$arch" >/dev/null 2>&1 || { echo "error: $arch programs do not run here even through QEMU" >&2; return 1; }
}

# Environment inside a root: nothing of the host's but proxies (and QEMU's
# CPU model).
root_env() {
  local arch="$1" var cpu
  printf '%s\n' PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive PYTHONDONTWRITEBYTECODE=1 PIP_DISABLE_PIP_VERSION_CHECK=1 \
    PIP_DEFAULT_TIMEOUT="${PIP_DEFAULT_TIMEOUT:-120}" \
    SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt PIP_CERT=/etc/ssl/certs/ca-certificates.crt
  for var in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY; do
    [ -n "${!var:-}" ] && echo "$var=${!var}"
  done
  cpu="$(qemu_cpu "$arch")"
  [ -z "$cpu" ] || echo "QEMU_CPU=$cpu"
}

# Runs a command in ROOT (of Debian architecture ARCH), in a mount namespace
# of its own: /proc, /dev, /sys (read-only, but for the cgroup hierarchies,
# which the memory tests limit), a fresh /tmp and the checkout (read-only, at
# /src) are mounted there and go away with it, whatever happens. i386 runs
# with the personality of a 32-bit machine (uname says i686).
# Usage: in_root ROOT ARCH COMMAND...
in_root() {
  local root="$1" arch="$2" env personality=()
  shift 2
  mapfile -t env < <(root_env "$arch")
  [ "$arch" != i386 ] || personality=(setarch i686)
  cp -L /etc/resolv.conf "$root/etc/resolv.conf.velkor" && mv -f "$root/etc/resolv.conf.velkor" "$root/etc/resolv.conf"
  install -D -m 644 /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
  mkdir -p "$root$src_in_root"
  unshare --mount --propagation private -- bash -euc '
    r="$1" src="$2" dst="$3"; shift 3
    mount -t proc proc "$r/proc"
    mount --rbind /dev "$r/dev"
    mount -t sysfs -o ro sysfs "$r/sys"
    if mountpoint -q /sys/fs/cgroup; then mount --rbind /sys/fs/cgroup "$r/sys/fs/cgroup"; fi
    mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
    mount --bind "$src" "$r$dst"
    mount -o remount,bind,ro "$r$dst"
    exec "$@"
  ' in_root "$root" "$ROOT" "$src_in_root" "${personality[@]}" chroot "$root" /usr/bin/env -i "${env[@]}" "$@" </dev/null
}

# Holds ROOT's lock (on file descriptor 9) until the script ends, or until it
# takes another root's: a second script waits rather than use a root being made.
lock_root() {
  mkdir -p "$(dirname "$1")"
  exec 9>"$1.lock"
  flock 9
}

# Makes ROOT a Debian sid root of ARCH holding PACKAGES, unless it is complete
# and was made with the same recipe (or VELKOR_SID_REFRESH=1 asks for a new
# one). A root left half made is made anew. Take its lock first. The root must be outside
# the checkout, and only a folder that velkor's scripts made (marked by
# ROOT.velkor beside it, or by the .velkor-sid-root of older roots inside it)
# or an empty one is ever removed.
# Usage: ensure_root ROOT ARCH PACKAGES...
ensure_root() {
  local root="$1" arch="$2"; shift 2
  local recipe="debian sid $arch, apt variant: $*" stamp owner
  [ "$(id -u)" -eq 0 ] || { echo "error: $0 needs root (mmdebstrap, unshare --mount, chroot)" >&2; exit 1; }
  case "$root" in /*) ;; *) echo "error: a Debian root must be an absolute path: $root" >&2; exit 1 ;; esac
  root="$(realpath -m "$root")"
  case "$root" in
    / | /usr | /usr/* | /etc | /etc/* | /proc | /proc/* | /sys | /sys/* | /dev | /dev/*)
      echo "error: will not make a Debian root in $root" >&2; exit 1 ;;
  esac
  case "$root/" in "$ROOT"/*) echo "error: the Debian root must be outside the checkout ($root)" >&2; exit 1 ;; esac
  case "$ROOT/" in "$root"/*) echo "error: the Debian root must not hold the checkout ($root)" >&2; exit 1 ;; esac
  stamp="$root/.velkor-root-complete"
  owner="$root.velkor"
  mkdir -p "$(dirname "$root")"
  can_run_arch "$arch" || exit 1
  if [ "${VELKOR_SID_REFRESH:-0}" != 1 ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ]; then
    echo "-- reusing the Debian sid $arch root in $root (VELKOR_SID_REFRESH=1 makes it anew)"
    return 0
  fi
  local t0=$SECONDS mirror log="$root.log" check_valid_until="" aptopt=() cpu
  need_packages mmdebstrap
  mirror="$(debian_mirror)" || true
  [ -n "$mirror" ] || { echo "error: no Debian mirror found in the apt sources; set VELKOR_DEBIAN_MIRROR" >&2; exit 1; }
  echo "-- making a Debian sid $arch root in $root from $mirror (takes a few minutes; log in $log)"
  if [ -e "$root" ]; then
    if [ ! -f "$owner" ] && [ ! -f "$root/.velkor-sid-root" ] && [ -n "$(ls -A "$root")" ]; then
      echo "error: $root is not empty and was not made by velkor's scripts; remove it or choose another folder" >&2
      exit 1
    fi
    if awk -v r="$root/" 'index($5 "/", r) == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
      echo "error: something is mounted under $root; unmount it first" >&2
      exit 1
    fi
    rm -rf --one-file-system "$root"
  fi
  echo "$root: a Debian sid root made by velkor's scripts, made anew when incomplete" >"$owner"
  # A mirror that this machine's apt is told to take past its Release file's
  # Valid-Until (a snapshot of the archive) is taken so in the root too.
  if command -v apt-config >/dev/null 2>&1; then
    eval "$(apt-config shell check_valid_until Acquire::Check-Valid-Until)"
  fi
  case "$check_valid_until" in
    false | no | 0) aptopt=(--aptopt='Acquire::Check-Valid-Until "false"') ;;
  esac
  # mmdebstrap mounts /proc and /sys in the root while it works: in a mount
  # namespace of its own, they cannot outlive it.
  cpu="$(qemu_cpu "$arch")"
  if ! env ${cpu:+QEMU_CPU="$cpu"} unshare --mount --propagation private -- mmdebstrap --mode=root --variant=apt --arch="$arch" \
      "${aptopt[@]}" --include="$(IFS=,; echo "$*")" sid "$root" "$mirror" >"$log" 2>&1 </dev/null; then
    tail -n 30 "$log" >&2
    echo "error: mmdebstrap of Debian sid $arch from $mirror failed (log: $log)" >&2
    exit 1
  fi
  echo "$recipe" >"$stamp"
  echo "-- Debian sid $arch root made in $(( SECONDS - t0 )) s ($(du -sh --one-file-system "$root" | cut -f1))"
}

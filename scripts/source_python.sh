# What the scripts that test velkor with a CPython built here share: the musl
# CPython of musl_python.sh (for musl_check.sh) and the free-threaded one of
# test_free_threaded.sh. Sourced after common.sh and debian_root.sh (the
# mirror, the packages); not run on its own.
#
# The sources are Debian sid's orig tarballs, the newest the mirror of this
# machine's apt sources serves, each checked against the SHA-256 in sid's
# source index, which is checked against the InRelease file, signed by a key
# of Debian's archive keyring. Each interpreter is kept in a cache folder
# outside the checkout, under a lock, with the stamp of the recipe it was
# built with: a changed recipe builds it anew. The wheels its virtual
# environment installs are downloaded by a host CPython's pip, so that the
# interpreter needs no ssl and reaches no server.

# What such a venv installs: the test tools and velkor's build backend. CMake
# and Ninja come from elsewhere (see each script).
PYTHON_REQUIREMENTS=("pytest>=8" "hypothesis>=6" "scikit-build-core>=0.11")

# Fetches Debian sid's source index into WORK/Sources, checked from the
# keyring down; sets SID_MIRROR to the mirror it came from.
sid_sources() {
  local work="$1" mirror sum
  mirror="$(debian_mirror)" || true
  [ -n "$mirror" ] || { echo "error: no Debian mirror found in the apt sources; set VELKOR_DEBIAN_MIRROR" >&2; exit 1; }
  SID_MIRROR="${mirror%/}"
  curl -fsSL --retry 3 -o "$work/InRelease" "$SID_MIRROR/dists/sid/InRelease" ||
    { echo "error: could not download sid's InRelease from $SID_MIRROR" >&2; exit 1; }
  gpgv --keyring /usr/share/keyrings/debian-archive-keyring.gpg --output "$work/Release" "$work/InRelease" \
    >"$work/gpgv.log" 2>&1 || { cat "$work/gpgv.log" >&2; echo "error: sid's InRelease from $SID_MIRROR has no good signature" >&2; exit 1; }
  sum="$(awk 'length($1) == 64 && $3 == "main/source/Sources.xz" { print $1; exit }' "$work/Release")"
  curl -fsSL --retry 3 -o "$work/Sources.xz" "$SID_MIRROR/dists/sid/main/source/Sources.xz" &&
    echo "$sum  $work/Sources.xz" | sha256sum -c --quiet - >/dev/null 2>&1 && xz -dc "$work/Sources.xz" >"$work/Sources" ||
    { echo "error: sid's source index from $SID_MIRROR is missing or does not match its InRelease" >&2; exit 1; }
}

# Prints the path of the newest orig tarball that the mirror serves of the
# first of the Debian source packages NAMES that it serves any of,
# downloaded into the folder DEST unless it is there already, and checked
# against WORK/Sources (sid_sources, which sets SID_MIRROR).
# Usage: orig_tarball WORK DEST NAME...
orig_tarball() {
  local work="$1" dest="$2" name version sum file dir
  shift 2
  for name in "$@"; do
    while read -r version sum file dir; do
      if [ ! -f "$dest/$file" ]; then
        # A version that the index names may be missing from the mirror: the next older one is tried.
        curl -fsSL --retry 3 -o "$dest/$file.part" "$SID_MIRROR/$dir/$file" 2>/dev/null || continue
        mv "$dest/$file.part" "$dest/$file"
      fi
      if ! echo "$sum  $dest/$file" | sha256sum -c --quiet - >/dev/null 2>&1; then
        rm -f "$dest/$file"
        echo "error: $file ($name $version) from $SID_MIRROR does not match sid's source index" >&2; exit 1
      fi
      echo "$dest/$file"; return
    done < <(awk -v RS= -F '\n' -v pkg="$name" '{
        p = v = d = s = f = ""
        for (i = 1; i <= NF; i++) {
          if ($i == "Package: " pkg) p = 1
          else if ($i ~ /^Version: /) v = substr($i, 10)
          else if ($i ~ /^Directory: /) d = substr($i, 12)
          else if (split($i, w, " ") == 3 && length(w[1]) == 64 && w[3] ~ /\.orig\.tar\.[a-z0-9]+$/) { s = w[1]; f = w[3] }
        }
        if (p && s != "") print v, s, f, d }' "$work/Sources" | sort -rV -k1,1)
  done
  echo "error: the mirror $SID_MIRROR serves no orig tarball of $* that sid's source index names" >&2; exit 1
}

# Unpacks TARBALL into WORK/NAME and runs the function BUILD in its folder,
# logged to WORK/NAME.log; prints "-- NAME VERSION built (HOW): SECONDS s".
build_step() {
  local name="$1" how="$2" tarball="$3" work="$4" build="$5" t="$SECONDS" src
  mkdir "$work/$name"
  tar -xf "$tarball" -C "$work/$name"
  src="$(find "$work/$name" -mindepth 1 -maxdepth 1 -type d)"
  (cd "$src" && "$build") >"$work/$name.log" 2>&1 </dev/null ||
    { tail -n 40 "$work/$name.log" >&2; echo "error: building $name ($how) failed (log: $work/$name.log)" >&2; exit 1; }
  echo "-- $name ${src##*-} built ($how): $((SECONDS - t)) s"
}

# Makes the cache folder DIR (VAR is the variable that chooses another) and
# holds its lock on file descriptor 8, until `flock -u 8` or the end of the
# script: a second run waits rather than use an interpreter being built.
lock_cache() {
  mkdir -p "$1" || { echo "error: cannot make $1; set $2 to a writable folder" >&2; exit 1; }
  exec 8>"$1/.lock"
  flock 8
}

# Prints the version of the interpreter PYTHON of the installation PREFIX
# when it runs and PREFIX/.complete holds what the function RECIPE prints;
# fails otherwise.
cached_version() {
  local python="$1" prefix="$2" recipe="$3"
  [ "$(cat "$prefix/.complete" 2>/dev/null)" = "$("$recipe")" ] &&
    "$python" -c 'import platform; print(platform.python_version())' 2>/dev/null
}

# Downloads PYTHON_REQUIREMENTS into the folder DIR with the pip of HOST (a
# CPython with pip), for the interpreter that PIP_ARGS describe (pip
# download's --implementation, --python-version, --abi and --platform),
# unless DIR holds them already: its stamp holds the requirements and those
# arguments, and a change downloads them anew.
# Usage: download_wheels HOST DIR PIP_ARGS...
download_wheels() {
  local host="$1" dir="$2" stamp
  shift 2
  stamp="${PYTHON_REQUIREMENTS[*]} $*"
  [ "$(cat "$dir/.complete" 2>/dev/null)" != "$stamp" ] || return 0
  rm -rf "$dir"
  "$host" -m pip download -q --disable-pip-version-check --only-binary=:all: "$@" \
    -d "$dir" "${PYTHON_REQUIREMENTS[@]}" >&2 ||
    { echo "error: could not download wheels of ${PYTHON_REQUIREMENTS[*]} ($*) with $host" >&2; exit 1; }
  echo "$stamp" >"$dir/.complete"
  echo "-- $(find "$dir" -name '*.whl' | wc -l) wheels downloaded into $dir"
}

# Makes the virtual environment VENV with PYTHON (anew when the interpreter
# was built after it) and installs PYTHON_REQUIREMENTS into it from the
# wheels in WHEELS, with no index. Sets vpython to its python and pip_install
# to the command that installs into it from WHEELS.
wheel_venv() {
  local python="$1" venv="$2" wheels="$3" t="$SECONDS"
  if [ "$python" -nt "$venv/pyvenv.cfg" ]; then rm -rf "$venv"; fi
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv" ||
    { echo "error: could not make a virtual environment with $python" >&2; exit 1; }
  vpython="$venv/bin/python"
  # Without ssl, pip warns that it cannot use the system's certificates unless
  # told to use its own; it reaches no server here either way.
  pip_install=("$vpython" -m pip install --disable-pip-version-check --use-deprecated=legacy-certs --no-index
    --find-links "$wheels")
  "${pip_install[@]}" -q "${PYTHON_REQUIREMENTS[@]}" ||
    { echo "error: could not install ${PYTHON_REQUIREMENTS[*]} from $wheels into $venv" >&2; exit 1; }
  echo "-- venv $venv: $((SECONDS - t)) s"
}

# Makes the virtual environment VENV with PYTHON (anew when the interpreter
# was built after it) but without pip, and installs PYTHON_REQUIREMENTS into
# it from the pure-Python wheels in WHEELS with the pip of HOST (a CPython
# with pip), unless the wheels are those installed last. For an interpreter
# on which pip is slow to run at all: the free-threaded CPython 3.13 spins
# with sched_yield wherever a thread takes a lock that it already holds (as
# it does while making a class or closing a file), and beside other busy
# processes each yield can cost a time slice: starting pip there has taken
# minutes. Sets vpython to the venv's python and host_install to the command
# that installs wheels (pure, or built for PYTHON) into it with HOST's pip.
# Usage: host_pip_venv PYTHON VENV WHEELS HOST
host_pip_venv() {
  local python="$1" venv="$2" wheels="$3" host="$4" t="$SECONDS" site xy abi platform stamp
  if [ "$python" -nt "$venv/pyvenv.cfg" ]; then rm -rf "$venv"; fi
  [ -x "$venv/bin/python" ] || "$python" -m venv --without-pip "$venv" ||
    { echo "error: could not make a virtual environment with $python" >&2; exit 1; }
  vpython="$venv/bin/python"
  read -r site xy abi platform < <("$vpython" -c '
import sys, sysconfig
v = sys.version_info
t = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
print(sysconfig.get_path("purelib"), f"{v[0]}.{v[1]}", f"cp{v[0]}{v[1]}{t}",
      sysconfig.get_platform().replace("-", "_").replace(".", "_"))') ||
    { echo "error: $vpython does not run" >&2; exit 1; }
  host_install=("$host" -m pip install --disable-pip-version-check --no-index --only-binary=:all:
    --target "$site" --upgrade --implementation cp --python-version "$xy" --abi "$abi"
    --platform any --platform "$platform")
  stamp="$(cat "$wheels/.complete")"
  if [ "$(cat "$venv/.wheels" 2>/dev/null)" != "$stamp" ]; then
    "${host_install[@]}" -q --find-links "$wheels" "${PYTHON_REQUIREMENTS[@]}" ||
      { echo "error: could not install ${PYTHON_REQUIREMENTS[*]} from $wheels into $venv" >&2; exit 1; }
    echo "$stamp" >"$venv/.wheels"
  fi
  echo "-- venv $venv (no pip; installed into by $host): $((SECONDS - t)) s"
}

# Runs the whole test suite with VPYTHON from a folder outside the checkout,
# so that the installed module is the one tested; WHERE ("under musl") names
# the run. A failure fails the check (fail).
suite_outside() {
  local vpython="$1" where="$2" t="$SECONDS" away
  echo "-- pytest with CPython $("$vpython" -c 'import platform; print(platform.python_version())') $where"
  away="$(mktemp -d)"
  (cd "$away" && "$vpython" -m pytest -q -p no:cacheprovider -rs "$ROOT/tests") || fail "the test suite $where"
  rm -rf "$away"
  echo "-- pytest: $((SECONDS - t)) s"
}

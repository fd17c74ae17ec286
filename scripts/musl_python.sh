# The musl-libc CPython 3.13 that scripts/musl_check.sh runs the test suite
# with, and the wheels that its virtual environment installs. Sourced by
# musl_check.sh after common.sh and debian_root.sh (the mirror, the packages);
# not run on its own. Needs root the first time
# (apt-get, /var/cache).
#
# The interpreter is built from source with Debian's musl-gcc (musl-tools),
# with zlib (pip's wheels, zipimport) and libffi (ctypes) linked in
# statically; there is no OpenSSL. The sources are Debian sid's orig tarballs
# of python3.13, zlib and libffi, the newest the mirror of this machine's apt
# sources serves, each checked against the SHA-256 in sid's source index,
# which is checked against the InRelease file, signed by a key of Debian's
# archive keyring. Without ssl the interpreter cannot reach PyPI: the wheels
# (musllinux or pure Python) are downloaded by a glibc CPython's pip.
# Everything is kept in $VELKOR_MUSL_PYTHON_DIR (/var/cache/velkor-musl-python
# unless set), outside the checkout, and made anew only when missing or
# incomplete: each part's stamp is written once the rest of it is in place.

MUSL_DIR="${VELKOR_MUSL_PYTHON_DIR:-/var/cache/velkor-musl-python}"
MUSL_PYTHON="$MUSL_DIR/python/bin/python3.13"
MUSL_WHEELS="$MUSL_DIR/wheels"
# What the musl venv installs: the test tools and velkor's build backend.
# CMake and Ninja are not among them: the musllinux CMake wheels bring a
# libstdc++ with RELR relocations, which the loader of Debian 12's musl
# (1.2.3) does not apply, and crash there; the build takes .venv-zig's.
MUSL_REQUIREMENTS=("pytest>=8" "hypothesis>=6" "scikit-build-core>=0.11")

# Fetches Debian sid's source index into WORK/Sources, checked from the
# keyring down.
sid_sources() {
  local work="$1" mirror sum
  mirror="$(debian_mirror)" || true
  [ -n "$mirror" ] || { echo "error: no Debian mirror found in the apt sources; set VELKOR_DEBIAN_MIRROR" >&2; exit 1; }
  MUSL_MIRROR="${mirror%/}"
  curl -fsSL --retry 3 -o "$work/InRelease" "$MUSL_MIRROR/dists/sid/InRelease" ||
    { echo "error: could not download sid's InRelease from $MUSL_MIRROR" >&2; exit 1; }
  gpgv --keyring /usr/share/keyrings/debian-archive-keyring.gpg --output "$work/Release" "$work/InRelease" \
    >"$work/gpgv.log" 2>&1 || { cat "$work/gpgv.log" >&2; echo "error: sid's InRelease from $MUSL_MIRROR has no good signature" >&2; exit 1; }
  sum="$(awk 'length($1) == 64 && $3 == "main/source/Sources.xz" { print $1; exit }' "$work/Release")"
  curl -fsSL --retry 3 -o "$work/Sources.xz" "$MUSL_MIRROR/dists/sid/main/source/Sources.xz" &&
    echo "$sum  $work/Sources.xz" | sha256sum -c --quiet - >/dev/null 2>&1 && xz -dc "$work/Sources.xz" >"$work/Sources" ||
    { echo "error: sid's source index from $MUSL_MIRROR is missing or does not match its InRelease" >&2; exit 1; }
}

# Prints the path of the newest orig tarball of Debian source package NAME
# that the mirror serves, downloaded into $MUSL_DIR/src unless it is there
# already, and checked against WORK/Sources.
orig_tarball() {
  local name="$1" work="$2" version sum file dir
  while read -r version sum file dir; do
    if [ ! -f "$MUSL_DIR/src/$file" ]; then
      # A version that the index names may be missing from the mirror: the next older one is tried.
      curl -fsSL --retry 3 -o "$MUSL_DIR/src/$file.part" "$MUSL_MIRROR/$dir/$file" 2>/dev/null || continue
      mv "$MUSL_DIR/src/$file.part" "$MUSL_DIR/src/$file"
    fi
    if ! echo "$sum  $MUSL_DIR/src/$file" | sha256sum -c --quiet - >/dev/null 2>&1; then
      rm -f "$MUSL_DIR/src/$file"
      echo "error: $file ($name $version) from $MUSL_MIRROR does not match sid's source index" >&2; exit 1
    fi
    echo "$MUSL_DIR/src/$file"; return
  done < <(awk -v RS= -F '\n' -v pkg="$name" '{
      p = v = d = s = f = ""
      for (i = 1; i <= NF; i++) {
        if ($i == "Package: " pkg) p = 1
        else if ($i ~ /^Version: /) v = substr($i, 10)
        else if ($i ~ /^Directory: /) d = substr($i, 12)
        else if (split($i, w, " ") == 3 && length(w[1]) == 64 && w[3] ~ /\.orig\.tar\.[a-z0-9]+$/) { s = w[1]; f = w[3] }
      }
      if (p && s != "") print v, s, f, d }' "$work/Sources" | sort -rV -k1,1)
  echo "error: the mirror $MUSL_MIRROR serves no orig tarball of $name that sid's source index names" >&2; exit 1
}

# Unpacks TARBALL into WORK/NAME and runs the function BUILD in its folder,
# logged to WORK/NAME.log; prints "-- NAME VERSION built (HOW): SECONDS s".
build_step() {
  local name="$1" how="$2" tarball="$3" work="$4" build="$5" t="$SECONDS" src
  mkdir "$work/$name"
  tar -xf "$tarball" -C "$work/$name"
  src="$(find "$work/$name" -mindepth 1 -maxdepth 1 -type d)"
  (cd "$src" && "$build") >"$work/$name.log" 2>&1 </dev/null ||
    { tail -n 40 "$work/$name.log" >&2; echo "error: building $name for musl failed (log: $work/$name.log)" >&2; exit 1; }
  echo "-- $name ${src##*-} built ($how): $((SECONDS - t)) s"
}

# The builds, run in the source folder by build_step, with MUSL_CC (musl-gcc)
# into MUSL_DEPS (the static libraries) and MUSL_DIR/python.
build_zlib() {
  CC="$MUSL_CC" CFLAGS="-O2 -fPIC" ./configure --static --prefix="$MUSL_DEPS" && make -j2 && make install
}
build_libffi() {
  # Debian's orig tarball of libffi is the release tag's tree, without configure.
  if [ ! -x configure ]; then autoreconf -i; fi
  ./configure CC="$MUSL_CC" CFLAGS="-O2 -fPIC" --prefix="$MUSL_DEPS" --libdir="$MUSL_DEPS/lib" --disable-shared --disable-docs \
    --disable-multi-os-directory && make -j2 && make install
}
build_cpython() {
  # pkg-config sees only the libraries built here, none of the host's (glibc's).
  # The test extension modules are installed (velkor's suite runs code in a
  # sub-interpreter through _testcapi), CPython's own tests are not.
  ./configure CC="$MUSL_CC" CPPFLAGS="-I$MUSL_DEPS/include" LDFLAGS="-L$MUSL_DEPS/lib" PKG_CONFIG_LIBDIR="$MUSL_DEPS/lib/pkgconfig" \
    OPT="-DNDEBUG -O2" --prefix="$MUSL_DIR/python" --with-ensurepip=no &&
    make -j2 && make install TESTSUBDIRS=
}

# Builds zlib, libffi and CPython into $MUSL_DIR.
build_musl_python() {
  local work="$MUSL_DIR/build" tc="$MUSL_DIR/toolchain" zlib libffi python
  MUSL_DEPS="$MUSL_DIR/deps" MUSL_CC="$tc/cc"
  rm -rf "$work" "$tc" "$MUSL_DEPS" "$MUSL_DIR/python"
  mkdir -p "$work" "$tc/include" "$MUSL_DIR/src"
  sid_sources "$work"
  python="$(orig_tarball python3.13 "$work")"
  zlib="$(orig_tarball zlib "$work")"
  libffi="$(orig_tarball libffi "$work")"
  echo "-- sources from $MUSL_MIRROR, checked: $(basename "$python") $(basename "$zlib") $(basename "$libffi")"
  # musl-gcc leaves out /usr/include, which is glibc's: of it only the
  # kernel's headers, which CPython needs, are given to it. CPython's configure
  # takes the platform triplet from the compiler, and musl-gcc, glibc's gcc
  # set up for musl, would answer x86_64-linux-gnu.
  ln -s /usr/include/linux /usr/include/asm-generic "$tc/include/"
  ln -s /usr/include/x86_64-linux-gnu/asm "$tc/include/asm"
  printf '#!/bin/sh\nif [ "$*" = --print-multiarch ]; then echo x86_64-linux-musl; exit 0; fi\nexec musl-gcc -isystem %s "$@"\n' \
    "$tc/include" >"$MUSL_CC"
  chmod +x "$MUSL_CC"
  build_step zlib "static, musl-gcc" "$zlib" "$work" build_zlib
  build_step libffi "static, musl-gcc" "$libffi" "$work" build_libffi
  build_step CPython "musl-gcc, make -j2" "$python" "$work" build_cpython
  "$MUSL_PYTHON" -c 'import ctypes, zlib, _testcapi, sysconfig; assert sysconfig.get_config_var("SOABI").endswith("-linux-musl")' ||
    { echo "error: the CPython built in $MUSL_DIR/python is not a musl one with ctypes, zlib and _testcapi" >&2; exit 1; }
  case "$(readelf -lW "$MUSL_PYTHON")" in
    *ld-musl-x86_64*) ;;
    *) echo "error: $MUSL_PYTHON is not loaded by musl's loader" >&2; exit 1 ;;
  esac
  rm -rf "$work"
  musl_recipe >"$MUSL_DIR/python/.complete"
}

# The stamp of a complete interpreter: a digest of the functions that build
# it, so that a changed recipe is built anew.
musl_recipe() {
  declare -f build_musl_python build_step build_zlib build_libffi build_cpython | sha256sum | cut -d ' ' -f 1
}

# Makes sure $MUSL_PYTHON and $MUSL_WHEELS are complete, with HOST_PYTHON
# (a glibc CPython with pip) downloading the wheels.
musl_python_setup() {
  local host="$1" version
  mkdir -p "$MUSL_DIR" || { echo "error: cannot make $MUSL_DIR; set VELKOR_MUSL_PYTHON_DIR to a writable folder" >&2; exit 1; }
  exec 8>"$MUSL_DIR/.lock"
  flock 8
  if [ "$(cat "$MUSL_DIR/python/.complete" 2>/dev/null)" = "$(musl_recipe)" ] &&
    version="$("$MUSL_PYTHON" -c 'import platform; print(platform.python_version())' 2>/dev/null)"; then
    echo "-- CPython $version for musl, cached in $MUSL_DIR"
  else
    need_packages musl-tools linux-libc-dev make autoconf automake libtool curl xz-utils gpgv debian-archive-keyring
    build_musl_python
  fi
  # The stamp holds the list of requirements: a changed list is downloaded anew.
  if [ "$(cat "$MUSL_WHEELS/.complete" 2>/dev/null)" != "${MUSL_REQUIREMENTS[*]}" ]; then
    rm -rf "$MUSL_WHEELS"
    "$host" -m pip download -q --disable-pip-version-check --only-binary=:all: --implementation cp \
      --python-version 3.13 --abi cp313 --platform musllinux_1_2_x86_64 --platform musllinux_1_1_x86_64 \
      -d "$MUSL_WHEELS" "${MUSL_REQUIREMENTS[@]}" >&2 ||
      { echo "error: could not download musllinux wheels of ${MUSL_REQUIREMENTS[*]} with $host" >&2; exit 1; }
    echo "${MUSL_REQUIREMENTS[*]}" >"$MUSL_WHEELS/.complete"
    echo "-- $(find "$MUSL_WHEELS" -name '*.whl' | wc -l) wheels for musl downloaded into $MUSL_WHEELS"
  fi
  flock -u 8
}

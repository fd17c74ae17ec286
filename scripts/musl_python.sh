# The musl-libc CPython 3.13 that scripts/musl_check.sh runs the test suite
# with, and the wheels that its virtual environment installs. Sourced by
# musl_check.sh after common.sh, debian_root.sh (the mirror, the packages)
# and source_python.sh (the sources, the cache, the wheels); not run on its
# own. Needs root the first time (apt-get, /var/cache).
#
# The interpreter is built from source with Debian's musl-gcc (musl-tools),
# with zlib (pip's wheels, zipimport) and libffi (ctypes) linked in
# statically; there is no OpenSSL. The sources are Debian sid's orig tarballs
# of python3.13, zlib and libffi, checked as source_python.sh says. The
# wheels (musllinux or pure Python) are downloaded by a glibc CPython's pip.
# Everything is kept in $VELKOR_MUSL_PYTHON_DIR (/var/cache/velkor-musl-python
# unless set), outside the checkout, and made anew only when missing or
# incomplete: each part's stamp is written once the rest of it is in place.

MUSL_DIR="${VELKOR_MUSL_PYTHON_DIR:-/var/cache/velkor-musl-python}"
MUSL_PYTHON="$MUSL_DIR/python/bin/python3.13"
# The musl venv installs no CMake or Ninja wheels: the musllinux CMake wheels
# bring a libstdc++ with RELR relocations, which the loader of Debian 12's musl
# (1.2.3) does not apply, and crash there; the build takes .venv-zig's.
MUSL_WHEELS="$MUSL_DIR/wheels"

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
  python="$(orig_tarball "$work" "$MUSL_DIR/src" python3.13)"
  zlib="$(orig_tarball "$work" "$MUSL_DIR/src" zlib)"
  libffi="$(orig_tarball "$work" "$MUSL_DIR/src" libffi)"
  echo "-- sources from $SID_MIRROR, checked: $(basename "$python") $(basename "$zlib") $(basename "$libffi")"
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
  lock_cache "$MUSL_DIR" VELKOR_MUSL_PYTHON_DIR
  if version="$(cached_version "$MUSL_PYTHON" "$MUSL_DIR/python" musl_recipe)"; then
    echo "-- CPython $version for musl, cached in $MUSL_DIR"
  else
    need_packages musl-tools linux-libc-dev make autoconf automake libtool curl xz-utils gpgv debian-archive-keyring
    build_musl_python
  fi
  download_wheels "$host" "$MUSL_WHEELS" --implementation cp --python-version 3.13 --abi cp313 \
    --platform musllinux_1_2_x86_64 --platform musllinux_1_1_x86_64
  flock -u 8
}

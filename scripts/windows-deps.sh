#!/usr/bin/env bash
# The libraries the Windows programs link (GLib and GMime for mail, libxml2, nettle, libewf and
# what they need), cross-built static for MinGW-w64 from Debian's own source packages, into a
# cache outside the checkout:
#   ${PW_WINDEPS_CACHE:-/var/cache/parcelwright/windows-deps}/<key>/<arch>/{include,lib,...}
# The key is a digest of the source versions and of RECIPE below, so a new Debian revision or a
# changed recipe (raise RECIPE when the build steps change) builds a fresh set; an unchanged one
# is reused. A set counts as built only once
# its stamp is written, last: a build that was stopped half-way is built again.
#
#   scripts/windows-deps.sh [x86_64] [i686]   builds what is missing (both when none is named)
#   scripts/windows-deps.sh --prefix ARCH      prints the ready set's folder (building it first)
#
# Needs the deb-src entry scripts/setup.sh adds, the MinGW-w64 compilers and the build tools that
# setup.sh installs. Debian's MinGW zlib (libz-mingw-w64-dev) is used as it is.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

default_cache=/var/cache/parcelwright/windows-deps
if [ -z "${PW_WINDEPS_CACHE:-}" ] && ! { mkdir -p "$default_cache" && [ -w "$default_cache" ]; } 2>/dev/null; then
  default_cache=${XDG_CACHE_HOME:-$HOME/.cache}/parcelwright/windows-deps
fi
CACHE=${PW_WINDEPS_CACHE:-$default_cache}
JOBS=${PW_WINDEPS_JOBS:-2}
RECIPE=1
PACKAGES=(libffi pcre2 gettext glib2.0 gmime nettle libxml2 libewf)

print_prefix=""
arches=()
while [ $# -gt 0 ]; do
  case $1 in
    --prefix) print_prefix=1 ;;
    x86_64 | i686) arches+=("$1") ;;
    *) echo "windows-deps: unknown argument '$1' (x86_64, i686, --prefix)" >&2; exit 2 ;;
  esac
  shift
done
[ ${#arches[@]} -gt 0 ] || arches=(x86_64 i686)
log() { [ -n "$print_prefix" ] && echo "windows-deps: $*" >&2 || echo "windows-deps: $*"; }

# --- Sources: Debian's own, the newest version the archive actually serves ---------------------
SRC=$CACHE/src
mkdir -p "$SRC"
versions_of() { # every source version apt knows for a package, newest first
  apt-cache showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u |
    python3 -c '
import functools, subprocess, sys
def newer(a, b):
    return subprocess.run(["dpkg", "--compare-versions", a, "gt", b]).returncode == 0
def order(a, b):
    return 0 if a == b else (-1 if newer(a, b) else 1)
print("\n".join(sorted(sys.stdin.read().split(), key=functools.cmp_to_key(order))))'
}
dsc_name() { echo "${1}_${2#*:}.dsc"; }
fetch() { # package -> prints the .dsc used
  local pkg=$1 v
  local candidates
  candidates=$(versions_of "$pkg")
  if [ -z "$candidates" ]; then
    echo "windows-deps: apt has no source for $pkg: add a deb-src entry (bash scripts/setup.sh)" >&2
    return 1
  fi
  for v in $candidates; do # a version already here is used without asking the archive
    [ -f "$SRC/$(dsc_name "$pkg" "$v")" ] && { echo "$(dsc_name "$pkg" "$v")"; return 0; }
    # The archive lists some versions it no longer serves (superseded security updates): the
    # next one down is taken then.
    if (cd "$SRC" && apt-get source --download-only -qq "$pkg=$v" >/dev/null 2>&1) &&
      [ -f "$SRC/$(dsc_name "$pkg" "$v")" ]; then
      echo "$(dsc_name "$pkg" "$v")"
      return 0
    fi
  done
  echo "windows-deps: no source of $pkg could be fetched" >&2
  return 1
}

if ! apt-cache showsrc --only-source glib2.0 >/dev/null 2>&1 ||
  [ -z "$(apt-cache showsrc --only-source glib2.0 2>/dev/null)" ]; then
  bash "$here/setup.sh" >&2
fi
declare -A DSC
versions=""
for pkg in "${PACKAGES[@]}"; do
  DSC[$pkg]=$(fetch "$pkg")
  versions+="${DSC[$pkg]%.dsc}"$'\n'
done
key=$(printf 'recipe %s\n%s' "$RECIPE" "$versions" | sha256sum | cut -c1-16)
KEYDIR=$CACHE/$key

# --- One architecture ----------------------------------------------------------------------------
unpack() { # package, folder, [dpkg-source options]
  local pkg=$1 dir=$2
  shift 2
  rm -rf "$dir"
  # Debian's signing keys are not needed: apt checked the files' digests when it fetched them.
  dpkg-source --no-check -x "$@" "$SRC/${DSC[$pkg]}" "$dir" >/dev/null 2>&1
}

# A library's step is skipped when its stamp is there (a build stopped half-way resumes with the
# library it was building); the set's own stamp comes after the last one.
step() { # library name, then the function that builds it
  local name=$1 stamp=$prefix/.built-$1
  [ -f "$stamp" ] && return 0
  log "$arch: $name"
  "$2" >"$work/$name.log" 2>&1
  touch "$stamp"
}

build_arch() {
  local arch=$1
  local host=$arch-w64-mingw32
  local prefix=$KEYDIR/$arch
  local work=$KEYDIR/build/$arch
  local cpu_family=$arch
  [ "$arch" = i686 ] && cpu_family=x86
  mkdir -p "$prefix/include" "$prefix/lib/pkgconfig" "$work"

  export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib
  export STRIP=$host-strip WINDRES=$host-windres RC=$host-windres NM=$host-nm
  export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig:/usr/$host/lib/pkgconfig
  export PKG_CONFIG_PATH=""
  export CPPFLAGS="-I$prefix/include" CFLAGS="-O2" LDFLAGS="-L$prefix/lib"
  local conf=(--host="$host" --prefix="$prefix" --libdir="$prefix/lib" --disable-shared --enable-static)

  build_libffi() {
    unpack libffi "$work/libffi"
    cd "$work/libffi"
    ./configure "${conf[@]}" --disable-docs --disable-multi-os-directory
    make -j"$JOBS"
    make install
  }
  step libffi build_libffi

  build_pcre2() {
    unpack pcre2 "$work/pcre2"
    cd "$work/pcre2"
    ./configure "${conf[@]}" --enable-unicode --enable-jit --disable-pcre2grep-jit
    make -j"$JOBS" libpcre2-8.la
    make install-libLTLIBRARIES install-nodist_includeHEADERS install-includeHEADERS \
      install-pkgconfigDATA
  }
  step pcre2 build_pcre2

  # GLib always wants libintl; GNU's, from gettext's runtime half. Debian's patches to gettext
  # change its build system only and would need other autotools versions: left out.
  build_libintl() {
    unpack gettext "$work/gettext" --skip-patches
    cd "$work/gettext/gettext-runtime"
    ./configure "${conf[@]}" --disable-java --disable-csharp --disable-libasprintf \
      --disable-openmp am_cv_func_iconv=no
    make -C intl -j"$JOBS"
    make -C intl install
  }
  step libintl build_libintl

  build_glib() {
    unpack glib2.0 "$work/glib"
    cat >"$work/cross.ini" <<EOF
[binaries]
c = '$host-gcc-posix'
cpp = '$host-g++-posix'
ar = '$host-ar'
strip = '$host-strip'
windres = '$host-windres'
pkgconfig = 'pkg-config'

[properties]
pkg_config_libdir = '$PKG_CONFIG_LIBDIR'

[built-in options]
c_args = ['-I$prefix/include']
c_link_args = ['-L$prefix/lib']
cpp_args = ['-I$prefix/include']
cpp_link_args = ['-L$prefix/lib']

[host_machine]
system = 'windows'
cpu_family = '$cpu_family'
cpu = '$arch'
endian = 'little'
EOF
    cd "$work/glib"
    # The cross file names the compilers; the build machine's variables would leak into it.
    env -u CC -u CXX -u AR -u CPPFLAGS -u CFLAGS -u LDFLAGS -u STRIP -u NM \
      meson setup _build --cross-file "$work/cross.ini" --prefix="$prefix" --libdir=lib \
      --wrap-mode=nofallback -Ddefault_library=static -Dtests=false -Dnls=disabled -Dxattr=false \
      -Dlibmount=disabled -Dselinux=disabled -Dlibelf=disabled -Dsysprof=disabled -Ddtrace=false \
      -Dsystemtap=false -Dglib_debug=disabled -Dman=false -Dgtk_doc=false --buildtype=release
    ninja -C _build -j"$JOBS"
    meson install -C _build --no-rebuild
  }
  step glib build_glib

  # GMime: its configure wants an iconv and the target's iconv quirks. On Windows GLib carries
  # the converter (win_iconv), reached through GLib's own g_iconv names.
  build_gmime() {
    unpack gmime "$work/gmime"
    cat >"$work/gmime/iconv.h" <<'EOF'
#ifndef PW_GLIB_ICONV_H
#define PW_GLIB_ICONV_H
#include <glib.h>
#define iconv_t GIConv
#define iconv_open g_iconv_open
#define iconv g_iconv
#define iconv_close g_iconv_close
#endif
EOF
    cp "$work/gmime/iconv.h" "$prefix/include/iconv.h"
    cd "$work/gmime"
    glib_cflags=$(pkg-config --static --cflags glib-2.0)
    glib_libs=$(pkg-config --static --libs glib-2.0)
    # The converter's answers for this target, found by running the probe on it (Wine); the
    # 32-bit build shares the 64-bit one's answers: the same code decides them.
    # shellcheck disable=SC2086
    $host-gcc-posix -I. $glib_cflags -o iconv-detect.exe iconv-detect.c $glib_libs -static
    if [ "$arch" = x86_64 ]; then
      WINEPREFIX=$work/wine WINEDEBUG=-all "$(command -v wine64 || echo /usr/lib/wine/wine64)" ./iconv-detect.exe </dev/null >/dev/null 2>&1 || true
      [ -s iconv-detect.h ] || { echo "iconv-detect gave no answer under Wine"; exit 1; }
      cp iconv-detect.h "$KEYDIR/iconv-detect.h"
      wineserver_bin=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
      WINEPREFIX=$work/wine "$wineserver_bin" -k 2>/dev/null || true
    else
      cp "$KEYDIR/iconv-detect.h" iconv-detect.h
    fi
    NOCONFIGURE=1 ./autogen.sh
    ./configure "${conf[@]}" --disable-crypto --without-libidn --disable-introspection \
      --disable-vala --disable-gtk-doc ac_cv_func_iconv_open=yes ac_cv_have_iconv_detect_h=yes
    make -j"$JOBS" -C util
    make -j"$JOBS" -C gmime libgmime-3.0.la
    make -C gmime install-libLTLIBRARIES install-gmimeincludeHEADERS
    make install-pkgconfigDATA
  }
  step gmime build_gmime

  # nettle: the digests only; public-key code would need GMP.
  build_nettle() {
    unpack nettle "$work/nettle"
    cd "$work/nettle"
    ./configure "${conf[@]}" --disable-public-key --disable-openssl --disable-documentation \
      --disable-fat
    make -j"$JOBS" libnettle.a
    make install-headers install-static install-pkgconfig PKGCONFIG_FILES=nettle.pc
  }
  step nettle build_nettle

  # libxml2: the HTML parser and the writer; no network, no Python, no ICU/iconv (it is given
  # UTF-8 only).
  build_libxml2() {
    unpack libxml2 "$work/libxml2"
    cd "$work/libxml2"
    # Debian regenerates the build files (its patches touch them): so does this.
    autoreconf -fi
    ./configure "${conf[@]}" --without-python --without-icu --without-lzma --without-zlib \
      --without-http --without-ftp --without-iconv --without-modules --without-debug
    make -j"$JOBS" libxml2.la
    make install-libLTLIBRARIES install-pkgconfigDATA
    make -C include install
  }
  step libxml2 build_libxml2

  # libewf: the library only (its tools are not needed). It opens files by their names in the
  # system's code page, as the rest of the Windows programs do.
  build_libewf() {
    unpack libewf "$work/libewf"
    cd "$work/libewf"
    ./configure "${conf[@]}" --enable-winapi=yes --without-openssl \
      --without-libfuse --without-libuuid --disable-python --disable-nls
    local dir
    for dir in include common libcerror libcthreads libcdata libcdatetime libclocale libcnotify \
      libcsplit libuna libcfile libcpath libbfio libfcache libfdata libfvalue libmfdata libhmac \
      libewf; do
      make -C "$dir" -j"$JOBS"
    done
    make -C libewf install
    make -C include install
    make install-pkgconfigDATA
  }
  step libewf build_libewf

  rm -rf "$work"
  printf '%s' "$versions" >"$prefix/SOURCES"
  touch "$prefix/.complete"
}

# The notices of what is built (Debian's copyright file of each source), for the packages.
licenses() {
  local dir=$KEYDIR/licenses pkg tmp
  [ -f "$dir/.complete" ] && return 0
  rm -rf "$dir" && mkdir -p "$dir"
  tmp=$(mktemp -d)
  for pkg in "${PACKAGES[@]}"; do
    unpack "$pkg" "$tmp/$pkg"
    cp "$tmp/$pkg/debian/copyright" "$dir/${DSC[$pkg]%%_*}.txt"
  done
  rm -rf "$tmp" # the sources, and the upstream tarballs dpkg-source copies beside them
  touch "$dir/.complete"
}

for arch in "${arches[@]}"; do
  if [ -f "$KEYDIR/$arch/.complete" ]; then
    log "$arch: ready in $KEYDIR/$arch"
    continue
  fi
  start=$SECONDS
  log "$arch: building into $KEYDIR/$arch (logs in $KEYDIR/build/$arch)"
  # In a subshell of its own, stopping at the first command that fails.
  set +e
  (set -e; build_arch "$arch")
  built=$?
  set -e
  if [ $built -ne 0 ]; then
    echo "windows-deps: $arch failed; the last lines of the failing step's log:" >&2
    tail -n 30 "$(ls -t "$KEYDIR/build/$arch"/*.log | head -n 1)" >&2
    exit 1
  fi
  log "$arch: built in $((SECONDS - start)) s"
done
printf '%s' "$versions" >"$KEYDIR/SOURCES"
licenses
if [ -n "$print_prefix" ]; then
  for arch in "${arches[@]}"; do echo "$KEYDIR/$arch"; done
fi

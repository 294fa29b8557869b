#!/usr/bin/env bash
# Builds the Windows programs (static, no DLLs beside them) for x86-64 and i686 against the
# libraries of scripts/windows-deps.sh (built once into a cache outside the checkout, then reused)
# and packs each set with the manual, a short read-me, the licence, the bundled libraries'
# notices and the Debian source versions they were built from:
#   dist/parcelwright-<version>-win64.zip and dist/parcelwright-<version>-win32.zip
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
deps=$(bash scripts/windows-deps.sh --prefix x86_64 i686)
COMMON=(-G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -DNDEBUG" -DPW_WERROR=ON -DPW_BUILD_BENCH=OFF -DPW_BUILD_TESTS=OFF)
mkdir -p dist

crlf() { sed 's/\r*$/\r/' "$@"; }

pack() { # architecture, toolchain, build folder, zip suffix, libraries
  local arch=$1 toolchain=$2 build=$3 suffix=$4 libs=$5
  cmake -S . -B "$build" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain" "${COMMON[@]}" -DPW_WINDOWS_DEPS="$libs" >/dev/null
  cmake --build "$build" --target parcelwright parcelwright-cli
  local version
  version=$(sed -n 's/^#define PW_VERSION "\(.*\)"$/\1/p' "$build/generated/BuildInfo.h")
  local name="parcelwright-$version-$suffix"
  local stage="$build/package/$name"
  rm -rf "$build/package"
  mkdir -p "$stage"
  for exe in parcelwright parcelwright-cli; do
    "$arch-w64-mingw32-strip" -o "$stage/$exe.exe" "$build/$exe.exe"
    if "$arch-w64-mingw32-objdump" -p "$stage/$exe.exe" | grep -i 'DLL Name' |
        grep -Eiq 'lib(stdc|gcc|winpthread|glib|gobject|gio|gmodule|gmime|intl|ffi|pcre|xml2|nettle|ewf)|zlib|iconv'; then
      echo "package-windows: $exe.exe needs a DLL that is not Windows' own" >&2
      exit 1
    fi
  done
  cp docs/manual.html "$stage/manual.html"
  sed "s/@VERSION@/$version/g" ui/win32/README-windows.txt | crlf >"$stage/README.txt"
  crlf COPYING >"$stage/COPYING.txt"
  # The libraries linked in: their notices (Debian's copyright files of the sources built, of
  # MinGW's zlib and runtime, of CLI11) and the licence texts those name.
  mkdir -p "$stage/licenses"
  local notice
  for notice in "$(dirname "$libs")"/licenses/*.txt; do
    crlf "$notice" >"$stage/licenses/$(basename "$notice")"
  done
  crlf /usr/share/doc/libz-mingw-w64/copyright >"$stage/licenses/zlib.txt"
  crlf /usr/share/doc/mingw-w64-common/copyright >"$stage/licenses/mingw-w64.txt"
  crlf /usr/share/doc/gcc-mingw-w64-base/copyright >"$stage/licenses/gcc-runtime.txt"
  crlf /usr/share/doc/libcli11-dev/copyright >"$stage/licenses/cli11.txt"
  for notice in LGPL-2.1 LGPL-3 GPL-2; do
    crlf "/usr/share/common-licenses/$notice" >"$stage/licenses/$notice.txt"
  done
  {
    echo "The libraries in these programs were built from these Debian source packages"
    echo "(bookworm); on Debian each can be fetched with: apt-get source NAME=VERSION"
    echo
    sed "s/_/=/" "$(dirname "$libs")/SOURCES"
    echo
    echo "With Debian's MinGW-w64 zlib, runtime and compilers:"
    dpkg-query -W -f='${source:Package}=${source:Version}\n' libz-mingw-w64-dev mingw-w64-common \
      "g++-mingw-w64-${arch/_/-}-posix" libcli11-dev | sort -u
  } | crlf >"$stage/SOURCES.txt"
  rm -f "dist/$name.zip"
  (cd "$build/package" && zip -q -X -r "../../dist/$name.zip" "$name")
  echo "package-windows: dist/$name.zip"
}

pack x86_64 mingw-w64-x86_64.cmake "${WIN_PACKAGE_DIR:-build-win-package}" win64 "$(sed -n 1p <<<"$deps")"
pack i686 mingw-w64-i686.cmake "${WIN32_PACKAGE_DIR:-build-win32-package}" win32 "$(sed -n 2p <<<"$deps")"

#!/usr/bin/env bash
# Builds the Windows programs (static, no DLLs beside them) for x86-64 and i686 and packs each
# set with the manual and a short read-me:
#   dist/parcelwright-<version>-win64.zip and dist/parcelwright-<version>-win32.zip
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
COMMON=(-G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DPW_WERROR=ON -DPW_BUILD_BENCH=OFF -DPW_BUILD_TESTS=OFF)
mkdir -p dist

pack() { # architecture, toolchain, build folder, zip suffix
  local arch=$1 toolchain=$2 build=$3 suffix=$4
  cmake -S . -B "$build" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain" "${COMMON[@]}" >/dev/null
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
        grep -Eiq 'lib(stdc|gcc|winpthread)'; then
      echo "package-windows: $exe.exe needs a MinGW runtime DLL" >&2
      exit 1
    fi
  done
  cp docs/manual.html "$stage/manual.html"
  sed "s/@VERSION@/$version/g" ui/win32/README-windows.txt | sed 's/$/\r/' >"$stage/README.txt"
  rm -f "dist/$name.zip"
  (cd "$build/package" && zip -q -X -r "../../dist/$name.zip" "$name")
  echo "package-windows: dist/$name.zip"
}

pack x86_64 mingw-w64-x86_64.cmake "${WIN_PACKAGE_DIR:-build-win-package}" win64
pack i686 mingw-w64-i686.cmake "${WIN32_PACKAGE_DIR:-build-win32-package}" win32

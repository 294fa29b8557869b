#!/usr/bin/env bash
# The Windows build: cross-compiled with MinGW-w64, the engine, drive-access and scan tests run as
# Windows programs under Wine (64-bit) in a prefix of their own; the 32-bit build is compiled, not
# run.
set -euo pipefail
cd "$(dirname "$0")/.."

WBUILD=${WIN_BUILD_DIR:-build-win}
W32BUILD=${WIN32_BUILD_DIR:-build-win32}
TARGETS=(test_disk test_engine test_scan)
COMMON=(-G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DPW_WERROR=ON -DPW_BUILD_GUI=OFF -DPW_BUILD_BENCH=OFF)

cmake -S . -B "$WBUILD" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake "${COMMON[@]}" >/dev/null
cmake --build "$WBUILD" --target "${TARGETS[@]}"
cmake -S . -B "$W32BUILD" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake "${COMMON[@]}" >/dev/null
cmake --build "$W32BUILD" --target "${TARGETS[@]}"

WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
export WINESERVER
export WINEPREFIX="$PWD/$WBUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -d "$WINEPREFIX/dosdevices" ]; then
  "$WINE" wineboot -i >"$WBUILD/wineboot.log" 2>&1 </dev/null
fi
# Drives are taken from the prefix when its server starts: stop the one left from setting it up.
"$WINESERVER" -k >/dev/null 2>&1 || true

# Drive X: for the volume test: a folder as its root, an image file the test writes as its device.
mkdir -p "$WBUILD/volume-x"
: >"$WBUILD/volume-x.img"
ln -sfn "$PWD/$WBUILD/volume-x" "$WINEPREFIX/dosdevices/x:"
ln -sfn "$PWD/$WBUILD/volume-x.img" "$WINEPREFIX/dosdevices/x::"
export PW_TEST_VOLUME_LETTER=X
PW_TEST_VOLUME_IMAGE="Z:$(printf '%s' "$PWD/$WBUILD/volume-x.img" | tr / '\\')"
export PW_TEST_VOLUME_IMAGE

status=0
for target in "${TARGETS[@]}"; do
  exe=$(find "$WBUILD/tests" -name "$target.exe" | head -n 1)
  out="$WBUILD/$target.out"
  # Wine's server keeps inherited output pipes open: the program writes to a file instead.
  if "$WINE" "$exe" >"$out" 2>&1 </dev/null; then
    echo "wine: $target passed ($(grep -c '^\[       OK \]' "$out") tests)"
  else
    cat "$out"
    echo "wine: $target FAILED"
    status=1
  fi
done
"$WINESERVER" -k >/dev/null 2>&1 || true
exit $status

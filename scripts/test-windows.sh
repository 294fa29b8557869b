#!/usr/bin/env bash
# The Windows build: cross-compiled with MinGW-w64 (both programs, the libraries and their tests).
# Under Wine (64-bit), in a prefix of its own and on a virtual screen: the engine, drive-access and
# scan tests, the window test (the real main window driven by window messages), and the
# command-line scanner on the demo image, whose JSON must equal the Linux scanner's byte for
# byte. The 32-bit build is compiled, not run.
set -euo pipefail
cd "$(dirname "$0")/.."

# Windows programs with windows need a screen: a virtual one when there is none.
if [ -z "${DISPLAY:-}" ] && [ -z "${PW_UNDER_XVFB:-}" ]; then
  PW_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi

WBUILD=${WIN_BUILD_DIR:-build-win}
W32BUILD=${WIN32_BUILD_DIR:-build-win32}
LBUILD=${BUILD_DIR:-build}
TESTS=(test_disk test_engine test_scan test_win32)
PROGRAMS=(parcelwright parcelwright-cli)
COMMON=(-G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DPW_WERROR=ON -DPW_BUILD_BENCH=OFF)

cmake -S . -B "$WBUILD" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake "${COMMON[@]}" >/dev/null
cmake --build "$WBUILD" --target "${TESTS[@]}" "${PROGRAMS[@]}"
cmake -S . -B "$W32BUILD" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake "${COMMON[@]}" >/dev/null
cmake --build "$W32BUILD" --target "${TESTS[@]}" "${PROGRAMS[@]}"

# The programs stand alone: no DLL beyond the system's own.
for exe in "$WBUILD"/parcelwright.exe "$WBUILD"/parcelwright-cli.exe "$W32BUILD"/parcelwright.exe; do
  if x86_64-w64-mingw32-objdump -p "$exe" | grep -i 'DLL Name' | grep -Eiq 'lib(stdc|gcc|winpthread)'; then
    echo "windows: $exe needs a MinGW runtime DLL" >&2
    exit 1
  fi
done

source scripts/wine-env.sh
wine_prefix "$WBUILD"

# Drive X: for the volume test: a folder as its root, an image file the test writes as its device.
mkdir -p "$WBUILD/volume-x"
: >"$WBUILD/volume-x.img"
ln -sfn "$PWD/$WBUILD/volume-x" "$WINEPREFIX/dosdevices/x:"
ln -sfn "$PWD/$WBUILD/volume-x.img" "$WINEPREFIX/dosdevices/x::"
export PW_TEST_VOLUME_LETTER=X
PW_TEST_VOLUME_IMAGE="Z:$(printf '%s' "$PWD/$WBUILD/volume-x.img" | tr / '\\')"
export PW_TEST_VOLUME_IMAGE

status=0
for target in "${TESTS[@]}"; do
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

# The command-line scanner: the demo image's JSON, byte for byte as on Linux.
if [ ! -x "$LBUILD/parcelwright-cli" ]; then
  [ -f "$LBUILD/CMakeCache.txt" ] || cmake -S . -B "$LBUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_WERROR=ON >/dev/null
  cmake --build "$LBUILD" --target parcelwright-cli
fi
demo="$PWD/$WBUILD/demo.img"
[ -f "$demo" ] || bash scripts/make-demo-image.sh "$demo" >/dev/null
"$LBUILD/parcelwright-cli" scan "$demo" --json >"$WBUILD/demo-linux.json"
"$WINE" "$WBUILD/parcelwright-cli.exe" scan "$(wine_path "$demo")" --json >"$WBUILD/demo-windows.json" 2>"$WBUILD/demo-windows.err" </dev/null || true
# Decoding and hashing use libraries with no MinGW build: the Windows scanner gives those two
# fields as null. Every other field must be the same, value for value.
same_json() {
  python3 - "$1" "$2" <<'PY'
import json, sys
linux, windows = (json.load(open(p, encoding="utf-8")) for p in sys.argv[1:3])
if any(o.get("decoded") is not None or o.get("sha256") is not None for o in windows):
    sys.exit(1)
for o in linux + windows:
    o.pop("decoded", None)
    o.pop("sha256", None)
sys.exit(0 if linux == windows and linux else 1)
PY
}
if same_json "$WBUILD/demo-linux.json" "$WBUILD/demo-windows.json"; then
  echo "wine: parcelwright-cli.exe JSON of the demo image equals the Linux scanner's (all fields but decoded and sha256, which need Linux libraries)"
else
  cat "$WBUILD/demo-windows.err"
  cmp "$WBUILD/demo-linux.json" "$WBUILD/demo-windows.json" || true
  echo "wine: parcelwright-cli.exe JSON differs from the Linux scanner's"
  status=1
fi
"$WINESERVER" -k >/dev/null 2>&1 || true
exit $status

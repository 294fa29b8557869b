#!/usr/bin/env bash
# The Windows build: cross-compiled with MinGW-w64 (both programs, the libraries and their tests)
# against the static libraries of scripts/windows-deps.sh (built once into a cache outside the
# checkout, then reused). Under Wine (64-bit), in a prefix of its own and on a virtual screen: the
# engine, drive-access, scan and mail tests, the window test (the real main window driven by
# window messages), and the command-line scanner on the demo image, a MIME corpus image and an
# EWF (.E01) set of it, whose JSON must equal the Linux scanner's in every field and whose DFXML
# report must name the same byte runs and digests. The 32-bit build is compiled, not run.
set -euo pipefail
cd "$(dirname "$0")/.."

# Windows programs with windows need a screen: a virtual one when there is none.
if [ -z "${DISPLAY:-}" ] && [ -z "${PW_UNDER_XVFB:-}" ]; then
  PW_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi

WBUILD=${WIN_BUILD_DIR:-build-win}
W32BUILD=${WIN32_BUILD_DIR:-build-win32}
LBUILD=${BUILD_DIR:-build}
TESTS=(test_disk test_engine test_scan test_mail test_win32)
PROGRAMS=(parcelwright parcelwright-cli)
COMMON=(-G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -DNDEBUG" -DPW_WERROR=ON -DPW_BUILD_BENCH=OFF)

deps=$(bash scripts/windows-deps.sh --prefix x86_64 i686)
WDEPS=$(sed -n 1p <<<"$deps")
W32DEPS=$(sed -n 2p <<<"$deps")

cmake -S . -B "$WBUILD" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake "${COMMON[@]}" -DPW_WINDOWS_DEPS="$WDEPS" >/dev/null
cmake --build "$WBUILD" --target "${TESTS[@]}" "${PROGRAMS[@]}"
cmake -S . -B "$W32BUILD" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake "${COMMON[@]}" -DPW_WINDOWS_DEPS="$W32DEPS" >/dev/null
cmake --build "$W32BUILD" --target "${TESTS[@]}" "${PROGRAMS[@]}"

# The programs stand alone: no DLL beyond the system's own (neither MinGW's runtime nor any of
# the libraries linked in).
for exe in "$WBUILD"/parcelwright.exe "$WBUILD"/parcelwright-cli.exe "$W32BUILD"/parcelwright.exe "$W32BUILD"/parcelwright-cli.exe; do
  if x86_64-w64-mingw32-objdump -p "$exe" | grep -i 'DLL Name' |
      grep -Eiq 'lib(stdc|gcc|winpthread|glib|gobject|gio|gmodule|gmime|intl|ffi|pcre|xml2|nettle|ewf)|zlib|iconv'; then
    echo "windows: $exe needs a DLL that is not Windows' own" >&2
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
# Built against the mail libraries: the window's decoded-mail test must run, not skip.
export PW_EXPECT_MAIL=1
for target in "${TESTS[@]}"; do
  exe=$(find "$WBUILD/tests" -name "$target.exe" | head -n 1)
  out="$WBUILD/$target.out"
  # Wine's server keeps inherited output pipes open: the program writes to a file instead.
  if "$WINE" "$exe" >"$out" 2>&1 </dev/null; then
    echo "wine: $target passed ($(grep -c '^\[       OK \]' "$out") tests)"
  else
    rc=$?
    # Wine's server kills (SIGKILL) a program still ending a second after it asked to end, which
    # a loaded machine can cause: when every test had run and passed by then, they passed.
    if [ "$rc" = 137 ] && grep -q '^\[  PASSED  \]' "$out" && ! grep -q '^\[  FAILED  \]' "$out"; then
      echo "wine: $target passed ($(grep -c '^\[       OK \]' "$out") tests; Wine killed it as it ended)"
    else
      cat "$out"
      echo "wine: $target FAILED (status $rc)"
      status=1
    fi
  fi
done

# The command-line scanner: the same JSON as on Linux, every field, and a DFXML report naming
# the same byte runs and digests.
if [ ! -x "$LBUILD/parcelwright-cli" ]; then
  [ -f "$LBUILD/CMakeCache.txt" ] || cmake -S . -B "$LBUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_WERROR=ON >/dev/null
  cmake --build "$LBUILD" --target parcelwright-cli
fi
images="$PWD/$WBUILD/images"
mkdir -p "$images"
demo="$images/demo.img"
[ -f "$demo" ] || bash scripts/make-demo-image.sh "$demo" >/dev/null
# The mail tests' corpus (encoded words in UTF-8, ISO-8859-15, KOI8-R and ISO-2022-JP; quoted-
# printable and base64 bodies; attachments; HTML only; a truncated message) and the demo's
# messages, stored CR LF on sector boundaries among zeros and noise.
corpus="$images/mime-corpus.img"
python3 - "$corpus" tests/mail/data/*.eml <<'PY'
import random, sys
out, files = sys.argv[1], sys.argv[2:]
rng = random.Random(25)
image = bytearray()
for name in files:
    body = open(name, "rb").read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    image += bytes(rng.randrange(256) for _ in range(512)) + bytes(512)
    image += body
    image += bytes(-len(image) % 4096)
open(out, "wb").write(bytes(image) + bytes(8192))
PY
# The same bytes as an EWF set, compressed, in segments of its own (the Linux scanner reads it
# through libewf as well).
ewf="$images/mime-corpus"
rm -f "$ewf".E0*
ewfacquirestream -q -t "$ewf" -c deflate:best -S 1MiB <"$corpus" >/dev/null 2>&1
same_json() {
  python3 - "$1" "$2" <<'PY'
import json, sys
linux, windows = (json.load(open(p, encoding="utf-8")) for p in sys.argv[1:3])
decoded = [o for o in linux if o.get("decoded") and o.get("sha256")]
sys.exit(0 if linux == windows and decoded else 1)
PY
}
same_dfxml() {
  python3 - "$1" "$2" <<'PY'
import sys, xml.etree.ElementTree as ET
def objects(path):
    root = ET.parse(path).getroot()
    return [[(e.tag.split("}")[-1], sorted(e.attrib.items()), (e.text or "").strip())
             for e in o.iter()] for o in root.iter() if o.tag.split("}")[-1] == "fileobject"]
linux, windows = objects(sys.argv[1]), objects(sys.argv[2])
digests = all(any(t == "hashdigest" for t, _, _ in o) for o in linux)
sys.exit(0 if linux == windows and linux and digests else 1)
PY
}
for image in "$demo" "$corpus" "$ewf.E01"; do
  name=$(basename "$image")
  out="$WBUILD/$name"
  "$LBUILD/parcelwright-cli" scan "$image" --json --dfxml "$out-linux.xml" --force >"$out-linux.json"
  "$WINE" "$WBUILD/parcelwright-cli.exe" scan "$(wine_path "$image")" --json \
    --dfxml "$(wine_path "$WBUILD")\\$name-windows.xml" --force \
    >"$out-windows.json" 2>"$out-windows.err" </dev/null || true
  if same_json "$out-linux.json" "$out-windows.json"; then
    echo "wine: parcelwright-cli.exe JSON of $name equals the Linux scanner's (every field, decoded and sha256 included)"
  else
    cat "$out-windows.err"
    diff <(python3 -m json.tool "$out-linux.json") <(python3 -m json.tool "$out-windows.json") | head -n 40 || true
    echo "wine: parcelwright-cli.exe JSON of $name differs from the Linux scanner's"
    status=1
  fi
  if same_dfxml "$out-linux.xml" "$out-windows.xml"; then
    echo "wine: parcelwright-cli.exe DFXML of $name names the same byte runs and digests"
  else
    echo "wine: parcelwright-cli.exe DFXML of $name differs from the Linux scanner's"
    status=1
  fi
done
"$WINESERVER" -k >/dev/null 2>&1 || true
exit $status

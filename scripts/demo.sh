#!/usr/bin/env bash
# Sets up, builds, makes the demo image and recovers its deleted messages.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --target parcelwright-cli

IMAGE=$BUILD/demo.img
OUT=$BUILD/demo-recovered
bash scripts/make-demo-image.sh "$IMAGE"
echo
echo "The demo image $IMAGE is a FAT file system; most of its mail has been deleted:"
MTOOLS_SKIP_CHECK=1 mdir -b -i "$IMAGE" ::/Mail | sed 's/^/  /'
echo
echo "Scanning it raw, sector by sector:"
echo "  $BUILD/parcelwright-cli scan $IMAGE"
echo
"$BUILD/parcelwright-cli" scan "$IMAGE"
echo
rm -rf "$OUT"
mkdir -p "$OUT"
"$BUILD/parcelwright-cli" scan "$IMAGE" --export "$OUT" --all >/dev/null
echo "Every recovered message is now a file in $OUT/:"
ls -v "$OUT" | sed 's/^/  /'
echo
echo "Try: $BUILD/parcelwright-cli scan $IMAGE --keyword garden --json"

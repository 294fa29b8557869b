#!/usr/bin/env bash
# Makes the Windows program's icons (ui/win32/icons/*.ico) from the pictures in ui/icons/*.svg.
# Run it after a picture changes and commit the result; the Windows build takes the .ico files
# as they are. Needs librsvg2-bin (rsvg-convert) and icoutils (icotool).
set -euo pipefail
cd "$(dirname "$0")/.."
out=ui/win32/icons
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"

# name and the sizes it is drawn at
ico() {
  local name=$1
  shift
  local pngs=()
  for size in "$@"; do
    rsvg-convert -w "$size" -h "$size" "ui/icons/$name.svg" -o "$tmp/$name-$size.png"
    # Large pictures are stored as PNG (the system reads those from Vista on), small ones as
    # bitmaps.
    if [ "$size" -ge 48 ]; then
      pngs+=("--raw=$tmp/$name-$size.png")
    else
      pngs+=("$tmp/$name-$size.png")
    fi
  done
  icotool -c -o "$out/$name.ico" "${pngs[@]}"
}

ico parcelwright 16 24 32 48 64
ico scan 48 96
ico selectall 48 96
ico deselectall 48 96
ico export 48 96
ico drive 16 32
ico envelope 16 32
ls -l "$out"

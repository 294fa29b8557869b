#!/usr/bin/env bash
# Compressed streams in the deep scan: the time and peak memory of deep scans, side by side in one
# run. A mail-dense image of Unix mail stores (LF Maildir and mbox files) is scanned as it is and
# gzip'd whole onto another image: the ratio gzip'd / plain is the cost of inflating (goal: 0.5 or
# better; both give the same messages, which is checked). Then the bombs: a gzip member of 10 GiB
# of zeros and a 42-style zip of zips, each before a message; their scans must take seconds and
# little memory, and the message after them must come back.
#
#   bash bench/bench_archives.sh [ROUNDS]
#   (environment: UNIX_MIB; DATA, the folder of cached images, default build/bench-data)
#
# Builds a Release tree in build-release/.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=${1:-3}
UNIX_MIB=${UNIX_MIB:-256}
REL=build-release
DATA=${DATA:-build/bench-data}
TARGETS=(bench_deep)
# shellcheck source=bench/bench_common.sh
source bench/bench_common.sh
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

UNIX_IMG=$DATA/unixmail-${UNIX_MIB}MiB.img
[ -f "$UNIX_IMG" ] || "$REL/bench/bench_deep" "$UNIX_IMG" "$UNIX_MIB" unix >/dev/null
# The gzip'd image, 4 KiB into a drive of its own.
python3 - "$UNIX_IMG" "$WORK/packed.img" <<'PY'
import gzip, sys
data = gzip.compress(open(sys.argv[1], "rb").read(), 6)
with open(sys.argv[2], "wb") as f:
    f.write(bytes(4096) + data + bytes(512 - len(data) % 512 + 512))
PY
MESSAGE=$'From: a@x.org\nTo: b@x.org\nSubject: after the bomb\nDate: Mon, 2 Mar 2020 09:00:00 +0000\n\ntext\n'
bomb_image() { # ARCHIVE IMAGE: the archive 8 KiB in, a message on the next sector after it
  python3 - "$1" "$2" "$MESSAGE" <<'PY'
import sys
a = open(sys.argv[1], "rb").read()
b = bytes(8192) + a
b += bytes(512 - len(b) % 512) + sys.argv[3].encode()
open(sys.argv[2], "wb").write(b + bytes(1024 - len(b) % 512))
PY
}
python3 tests/engine/deep/make_archives.py zeros 10 "$WORK/zeros.gz"
python3 tests/engine/deep/make_archives.py nested "$WORK/nested.zip"
bomb_image "$WORK/zeros.gz" "$WORK/zeros.img"
bomb_image "$WORK/nested.zip" "$WORK/nested.img"

peak() { # peak resident memory (MiB) of one deep scan
  /usr/bin/time -f '%M' "$CLI" scan "$1" --deep >/dev/null 2>"$WORK/time" || true
  awk 'END { printf "%.0f", $1 / 1024 }' "$WORK/time"
}
seconds() { # median wall seconds of ROUNDS deep scans
  local w u s all=()
  for _ in $(seq 1 "$ROUNDS"); do
    read -r w u s < <(timed "$CLI" scan "$1" --deep)
    all+=("$w")
  done
  printf '%s\n' "${all[@]}" | median
}

plain=$("$CLI" scan "$UNIX_IMG" --deep --json-lines --fields fulltext | sha256sum)
packed=$("$CLI" scan "$WORK/packed.img" --deep --json-lines --fields fulltext | sha256sum)
[ "$plain" = "$packed" ] && same=same || same=DIFFERENT
cat "$UNIX_IMG" "$WORK/packed.img" >/dev/null
p=$(seconds "$UNIX_IMG")
g=$(seconds "$WORK/packed.img")
echo "deep scans, median of $ROUNDS (Release build)"
awk -v m="$UNIX_MIB" -v p="$p" -v g="$g" -v s="$same" -v pm="$(peak "$UNIX_IMG")" \
  -v gm="$(peak "$WORK/packed.img")" -v gz="$(stat -c %s "$WORK/packed.img")" 'BEGIN {
  printf "unixmail %d MiB plain %.2f s (%.0f MiB/s, %d MiB peak); gzip'"'"'d (%.0f MiB) %.2f s (%.0f MiB/s of inflated bytes, %d MiB peak); ratio %.2f; messages %s\n",
    m, p, m / p, pm, gz / 1048576, g, m / g, gm, p / g, s }'
for bomb in zeros nested; do
  img=$WORK/$bomb.img
  found=$("$CLI" scan "$img" --deep --json-lines --fields subject | grep -c 'after the bomb' || true)
  awk -v b="$bomb" -v t="$(seconds "$img")" -v m="$(peak "$img")" -v f="$found" \
    -v z="$(stat -c %s "$img")" 'BEGIN {
    printf "%-7s bomb (%.0f KiB on the drive): %.2f s, %d MiB peak, message after it found: %s\n",
      b, z / 1024, t, m, f == 1 ? "yes" : "NO" }'
done

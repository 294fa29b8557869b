#!/usr/bin/env bash
# Whole-scan benchmark: the scanner's throughput against reading the same page-cached image with
# cat, measured alternately in one run. Goal: the scan at 0.9 of cat or better.
#
#   bash bench/bench_scan.sh [ROUNDS]        (environment: MIXED_MIB, TEXT_MIB, MAIL_MIB)
#
# Builds a Release tree in build-release/ and caches the images in build/bench-data/.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=${1:-5}
MIXED_MIB=${MIXED_MIB:-2048}
TEXT_MIB=${TEXT_MIB:-512}
MAIL_MIB=${MAIL_MIB:-512}
REL=build-release
DATA=build/bench-data

cmake -S . -B "$REL" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPW_BUILD_GUI=OFF -DPW_BUILD_TESTS=OFF \
  >/dev/null
cmake --build "$REL" -j2 --target parcelwright-cli make_bench_image >/dev/null
CLI=$REL/parcelwright-cli
mkdir -p "$DATA"

image() { # NAME MIB KIND
  local path=$DATA/$1-$2MiB.img
  if [ ! -f "$path" ]; then
    "$REL/bench/make_bench_image" "$path.part" "$2" "$3" >&2
    mv "$path.part" "$path"
  fi
  echo "$path"
}

now() { date +%s.%N; }

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

run() { # LABEL IMAGE
  local label=$1 img=$2 bytes t0 t1 found
  bytes=$(stat -c %s "$img")
  cat "$img" >/dev/null # warm the page cache
  found=$("$CLI" scan "$img" --json | grep -c '"item"' || true)
  local cats=() scans=()
  for _ in $(seq 1 "$ROUNDS"); do
    t0=$(now); cat "$img" >/dev/null; t1=$(now)
    cats+=("$(awk -v b="$bytes" -v a="$t0" -v z="$t1" 'BEGIN { print b / (z - a) / 1048576 }')")
    t0=$(now); "$CLI" scan "$img" >/dev/null; t1=$(now)
    scans+=("$(awk -v b="$bytes" -v a="$t0" -v z="$t1" 'BEGIN { print b / (z - a) / 1048576 }')")
  done
  local c s
  c=$(printf '%s\n' "${cats[@]}" | median)
  s=$(printf '%s\n' "${scans[@]}" | median)
  awk -v l="$label" -v m="$((bytes / 1048576))" -v c="$c" -v s="$s" -v f="$found" 'BEGIN {
    printf "%-12s %6d MiB %8d found   cat %8.0f MiB/s   scan %8.0f MiB/s   ratio %.2f\n", l, m, f, c, s, s / c }'
}

echo "whole scan against cat, median of $ROUNDS rounds each (Release build)"
run mixed "$(image mixed "$MIXED_MIB" mixed)"
run text-heavy "$(image text "$TEXT_MIB" text)"
run mail-heavy "$(image mail "$MAIL_MIB" mail)"

#!/usr/bin/env bash
# Deep scan against the standard scan: parcelwright-cli scans the same page-cached image with and
# without --deep, alternately, and the ratio deep / standard of their throughputs is printed (goal:
# 0.8 or better). Images: the whole-scan benchmark's 2 GiB mixed image, its mail-heavy image, and
# a mixed image whose mail is real-world shaped (long Received chains, 8-bit bodies, quoted
# replies, digests), where the deep rule carves every message and the standard one almost none;
# for that one the recovered counts are printed as well; and a mail-dense image of Unix mail
# stores (LF Maildir files and mbox files) that only the deep rule reads. Each line also gives
# cat's throughput over the same image and the ratio deep / cat (goal on mail-dense images: 0.8
# or better). Last, the deep rule's worst case: header lines and no empty line, every sector
# opening a block that never closes (goal there: a ratio of 1/3 or better, deep never more than
# three times the standard scan's time).
#
#   bash bench/bench_deep.sh [ROUNDS]
#   (environment: MIXED_MIB, MAIL_MIB, DEEP_MIB, UNIX_MIB, HEADERS_MIB)
#
# Builds a Release tree in build-release/ and caches the images in build/bench-data/.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=${1:-5}
MIXED_MIB=${MIXED_MIB:-2048}
MAIL_MIB=${MAIL_MIB:-512}
DEEP_MIB=${DEEP_MIB:-512}
HEADERS_MIB=${HEADERS_MIB:-256}
UNIX_MIB=${UNIX_MIB:-512}
REL=build-release
DATA=build/bench-data

TARGETS=(bench_deep)
# shellcheck source=bench/bench_common.sh
source bench/bench_common.sh

run() { # LABEL IMAGE
  local label=$1 img=$2 mib
  mib=$(($(stat -c %s "$img") / 1048576))
  cat "$img" >/dev/null # warm the page cache
  local std_found deep_found
  std_found=$("$CLI" scan "$img" --json | grep -c '"item"' || true)
  deep_found=$("$CLI" scan "$img" --deep --json | grep -c '"item"' || true)
  local sw=() sc=() dw=() dc=() cw=() w u s
  for _ in $(seq 1 "$ROUNDS"); do
    read -r w u s < <(timed cat "$img")
    cw+=("$(awk -v m="$mib" -v t="$w" 'BEGIN { print m / t }')")
    read -r w u s < <(timed "$CLI" scan "$img")
    sw+=("$(awk -v m="$mib" -v t="$w" 'BEGIN { print m / t }')")
    sc+=("$(awk -v m="$mib" -v u="$u" -v s="$s" 'BEGIN { print m / (u + s + 0.0005) }')")
    read -r w u s < <(timed "$CLI" scan "$img" --deep)
    dw+=("$(awk -v m="$mib" -v t="$w" 'BEGIN { print m / t }')")
    dc+=("$(awk -v m="$mib" -v u="$u" -v s="$s" 'BEGIN { print m / (u + s + 0.0005) }')")
  done
  local a b c d e
  e=$(printf '%s\n' "${cw[@]}" | median)
  a=$(printf '%s\n' "${sw[@]}" | median)
  b=$(printf '%s\n' "${dw[@]}" | median)
  c=$(printf '%s\n' "${sc[@]}" | median)
  d=$(printf '%s\n' "${dc[@]}" | median)
  awk -v l="$label" -v m="$mib" -v f1="$std_found" -v f2="$deep_found" -v a="$a" -v b="$b" \
    -v c="$c" -v d="$d" -v e="$e" 'BEGIN {
    printf "%-10s %5d MiB found %6d/%6d | wall: standard %6.0f deep %6.0f MiB/s ratio %.2f, cat %6.0f deep/cat %.2f | cpu: standard %6.0f deep %6.0f ratio %.2f\n",
      l, m, f1, f2, a, b, b / a, e, b / e, c, d, d / c }'
}

echo "deep scan against the standard scan, median of $ROUNDS alternating rounds (Release build)"
echo "found: standard/deep; wall: by elapsed time; cpu: by user + system time (steadier when busy)"
run mixed "$(image mixed "$MIXED_MIB" mixed)"
run mail "$(image mail "$MAIL_MIB" mail)"
DEEP_IMG=$DATA/deepmail-${DEEP_MIB}MiB.img
"$REL/bench/bench_deep" "$DEEP_IMG" "$DEEP_MIB"
run deepmail "$DEEP_IMG"
UNIX_IMG=$DATA/unixmail-${UNIX_MIB}MiB.img
"$REL/bench/bench_deep" "$UNIX_IMG" "$UNIX_MIB" unix
run unixmail "$UNIX_IMG"
run headers "$(image headers "$HEADERS_MIB" headers)"

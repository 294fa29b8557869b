#!/usr/bin/env bash
# Whole-scan benchmark: the scanner's throughput against reading the same page-cached image with
# cat, measured alternately in one run. Goal: the scan at 0.9 of cat or better.
#
#   bash bench/bench_scan.sh [ROUNDS]        (environment: MIXED_MIB, TEXT_MIB, MAIL_MIB)
#
# More, by environment: BASE_CLI=path times another build's scanner in the same rounds (before
# and after a change); COLD=1 drops the page cache before every timed command (root only), so
# that reading comes from the disk; ONLY="mixed dense" limits the images; DENSE_IMG=path adds a
# mail-dense image made elsewhere.
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

TARGETS=()
# shellcheck source=bench/bench_common.sh
source bench/bench_common.sh

COLD=${COLD:-0}
ONLY=${ONLY:-mixed text-heavy mail-heavy dense}
want() { case " $ONLY " in *" $1 "*) return 0 ;; esac; return 1; }
cold() { if [ "$COLD" = 1 ]; then sync; echo 3 >/proc/sys/vm/drop_caches; fi; }

run() { # LABEL IMAGE
  local label=$1 img=$2 mib found
  mib=$(($(stat -c %s "$img") / 1048576))
  cat "$img" >/dev/null # warm the page cache
  found=$("$CLI" scan "$img" --json | grep -c '"item"' || true)
  local cat_wall=() cat_cpu=() scan_wall=() scan_cpu=() base_wall=() w u s
  for _ in $(seq 1 "$ROUNDS"); do
    cold
    read -r w u s < <(timed cat "$img")
    cat_wall+=("$(awk -v m="$mib" -v t="$w" 'BEGIN { print m / t }')")
    cat_cpu+=("$(awk -v m="$mib" -v u="$u" -v s="$s" 'BEGIN { print m / (u + s + 0.0005) }')")
    cold
    read -r w u s < <(timed "$CLI" scan "$img")
    scan_wall+=("$(awk -v m="$mib" -v t="$w" 'BEGIN { print m / t }')")
    scan_cpu+=("$(awk -v m="$mib" -v u="$u" -v s="$s" 'BEGIN { print m / (u + s + 0.0005) }')")
    if [ -n "${BASE_CLI:-}" ]; then
      cold
      read -r w u s < <(timed "$BASE_CLI" scan "$img")
      base_wall+=("$(awk -v m="$mib" -v t="$w" 'BEGIN { print m / t }')")
    fi
  done
  if [ -n "${BASE_CLI:-}" ]; then
    awk -v l="$label" -v cw="$(printf '%s\n' "${cat_wall[@]}" | median)" \
      -v bw="$(printf '%s\n' "${base_wall[@]}" | median)" 'BEGIN {
      printf "%-11s base build: wall %6.0f MiB/s ratio %.2f of cat\n", l, bw, bw / cw }'
  fi
  local cw cc sw sc
  cw=$(printf '%s\n' "${cat_wall[@]}" | median)
  cc=$(printf '%s\n' "${cat_cpu[@]}" | median)
  sw=$(printf '%s\n' "${scan_wall[@]}" | median)
  sc=$(printf '%s\n' "${scan_cpu[@]}" | median)
  awk -v l="$label" -v m="$mib" -v f="$found" -v cw="$cw" -v sw="$sw" -v cc="$cc" -v sc="$sc" 'BEGIN {
    printf "%-11s %5d MiB %5d found | wall: cat %6.0f MiB/s scan %6.0f MiB/s ratio %.2f | cpu: cat %6.0f scan %6.0f ratio %.2f\n",
      l, m, f, cw, sw, sw / cw, cc, sc, sc / cc }'
}

echo "whole scan against cat, median of $ROUNDS alternating rounds each (Release build)$([ "$COLD" = 1 ] && echo ', page cache dropped before each')"
echo "wall: throughput by elapsed time; cpu: by user + system time (steadier on a busy machine)"
if want mixed; then run mixed "$(image mixed "$MIXED_MIB" mixed)"; fi
if want text-heavy; then run text-heavy "$(image text "$TEXT_MIB" text)"; fi
if want mail-heavy; then run mail-heavy "$(image mail "$MAIL_MIB" mail)"; fi
if want dense && [ -n "${DENSE_IMG:-}" ]; then run dense "$DENSE_IMG"; fi

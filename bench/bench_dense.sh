#!/usr/bin/env bash
# Mail-dense benchmark: scans against cat in the same run, and the scanner's peak memory.
#
#   bash bench/bench_dense.sh [ROUNDS]       (environment: MIXED_MIB, DENSE_MIB, COLD_ROUNDS)
#
# The scanner is measured as a listing that formats no table: every scan here prints
# `--json-lines --fields item,offset` (a short line a message, streamed as found) to /dev/null, so
# a million rows of table text do not stand in for the scan. One line beside them times the
# default table on the mail-dense image, for comparison. Prints, each a median of ROUNDS
# alternating rounds over page-cached images:
# - the standard scan's throughput against cat's on the 2 GiB mixed image (goal 0.95) and on the
#   mail-dense image (goal 0.9), and the deep scan's on the mail-dense image (goal 0.8);
# - the peak resident memory of a standard and a deep scan of the mail-dense image, with the
#   messages found and the goal beside it: 300 MiB + 200 bytes a message;
# - with the page cache dropped before every read (root only; skipped with a note where the
#   system refuses), the scan of the mixed image against cat's cold read (goal: 1.05 of cat's
#   time at most).
# The mail-dense image holds a message every sector or two: CR LF .eml files and LF Maildir files at
# sector starts, and LF mbox files (see make_bench_image's "dense"). Builds a Release tree in
# build-release/ and caches the images in build/bench-data/.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=${1:-5}
MIXED_MIB=${MIXED_MIB:-2048}
DENSE_MIB=${DENSE_MIB:-1024}
COLD_ROUNDS=${COLD_ROUNDS:-3}
REL=build-release
DATA=build/bench-data

TARGETS=()
# shellcheck source=bench/bench_common.sh
source bench/bench_common.sh

# The listing every measured scan prints: item and offset of each message, a line each.
LISTING=(--json-lines --fields item,offset)

mibps() { awk -v m="$1" -v t="$2" 'BEGIN { print m / (t + 0.0005) }'; }

ratio() { # LABEL GOAL IMAGE [SCAN OPTIONS...]: wall and cpu throughput against cat's; the
  # scan prints the listing unless the options are "table"
  local label=$1 goal=$2 img=$3 mib
  shift 3
  local LISTING=("${LISTING[@]}")
  if [ "${1:-}" = table ]; then
    LISTING=()
    shift
  fi
  mib=$(($(stat -c %s "$img") / 1048576))
  cat "$img" >/dev/null # warm the page cache
  local cw=() cc=() sw=() sc=() w u s
  for _ in $(seq 1 "$ROUNDS"); do
    read -r w u s < <(timed cat "$img")
    cw+=("$(mibps "$mib" "$w")")
    cc+=("$(mibps "$mib" "$(awk -v u="$u" -v s="$s" 'BEGIN { print u + s }')")")
    read -r w u s < <(timed "$CLI" scan "$img" "${LISTING[@]}" "$@")
    sw+=("$(mibps "$mib" "$w")")
    sc+=("$(mibps "$mib" "$(awk -v u="$u" -v s="$s" 'BEGIN { print u + s }')")")
  done
  local a b c d
  a=$(printf '%s\n' "${cw[@]}" | median)
  b=$(printf '%s\n' "${sw[@]}" | median)
  c=$(printf '%s\n' "${cc[@]}" | median)
  d=$(printf '%s\n' "${sc[@]}" | median)
  awk -v l="$label" -v m="$mib" -v a="$a" -v b="$b" -v c="$c" -v d="$d" -v g="$goal" 'BEGIN {
    printf "%-20s %5d MiB | wall: cat %6.0f scan %6.0f MiB/s ratio %.2f (goal %.2f) | cpu: cat %6.0f scan %6.0f ratio %.2f\n",
      l, m, a, b, b / a, g, c, d, d / c }'
}

memory() { # LABEL IMAGE [SCAN OPTIONS...]: peak resident memory against the goal
  local label=$1 img=$2 out peak found
  shift 2
  out=$(mktemp -d)
  /usr/bin/time -f %M -o "$out/rss" "$CLI" scan "$img" "${LISTING[@]}" "$@" >"$out/listing"
  peak=$(tail -n 1 "$out/rss")
  found=$(wc -l <"$out/listing") # a line a message
  rm -r "$out"
  awk -v l="$label" -v k="$peak" -v f="$found" 'BEGIN {
    goal = 300 + 200 * f / 1048576
    printf "%-20s peak %7.0f MiB for %8d messages | goal 300 MiB + 200 B x messages = %6.0f MiB: %s\n",
      l, k / 1024, f, goal, (k / 1024 <= goal) ? "met" : "over" }'
}

drop_caches() { sync && echo 3 >/proc/sys/vm/drop_caches 2>/dev/null; }

cold() { # IMAGE: cold scan against cat's cold read, medians of COLD_ROUNDS
  local img=$1 mib
  mib=$(($(stat -c %s "$img") / 1048576))
  if ! drop_caches; then
    echo "cold reads: skipped, the page cache cannot be dropped here (needs root and a writable /proc/sys/vm/drop_caches)"
    return
  fi
  local ct=() st=() w u s
  for _ in $(seq 1 "$COLD_ROUNDS"); do
    drop_caches
    read -r w u s < <(timed cat "$img")
    ct+=("$w")
    drop_caches
    read -r w u s < <(timed "$CLI" scan "$img" "${LISTING[@]}")
    st+=("$w")
  done
  local a b
  a=$(printf '%s\n' "${ct[@]}" | median)
  b=$(printf '%s\n' "${st[@]}" | median)
  awk -v m="$mib" -v a="$a" -v b="$b" 'BEGIN {
    printf "cold mixed           %5d MiB | cat %.2f s (%.0f MiB/s), scan %.2f s (%.0f MiB/s): scan / cat time %.2f (goal 1.05 at most)\n",
      m, a, m / a, b, m / b, b / a }'
}

MIXED=$(image mixed "$MIXED_MIB" mixed)
DENSE=$(image dense "$DENSE_MIB" dense)
echo "scans against cat, page-cached, median of $ROUNDS alternating rounds (Release build)"
echo "wall: throughput by elapsed time; cpu: by user + system time (steadier on a busy machine)"
ratio "standard mixed" 0.95 "$MIXED"
ratio "standard mail-dense" 0.90 "$DENSE"
ratio "deep mail-dense" 0.80 "$DENSE" --deep
ratio "standard dense table" 0.90 "$DENSE" table
echo "peak resident memory, mail-dense image"
memory "standard mail-dense" "$DENSE"
memory "deep mail-dense" "$DENSE" --deep
cold "$MIXED"

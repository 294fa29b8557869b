#!/usr/bin/env bash
# Jobs benchmark: the scan on one job against two, and each against cat, in the same run.
#
#   bash bench/bench_jobs.sh [ROUNDS]       (environment: DATA, MIXED_MIB, DENSE_MIB, COLD_ROUNDS)
#
# Every scan prints `--json-lines --fields item,offset` to /dev/null (a short line a message, as
# found), so that formatting does not stand in for the scan. Prints, each a median of ROUNDS
# alternating rounds over page-cached images:
# - for the standard and the deep scan of the mixed and the mail-dense image: cat's, --jobs 1's
#   and --jobs 2's throughput, each scan against cat, and --jobs 2 against --jobs 1
#   (goals on the mail-dense image: 1.6 standard, 1.8 deep);
# - the peak resident memory of --jobs 2 on the mail-dense image, standard and deep, against
#   300 MiB + 200 bytes a message;
# - where the page cache may be dropped (root), the mail-dense image cold, standard and deep: cat,
#   --jobs 1 and 2 (goals for jobs 2: 1.05 of cat's time standard, 1.5 deep), cat's fastest round
#   (some virtual machines read cold at two speeds, round by round); and cat again while every
#   processor runs a busy loop at the lowest priority, which takes no processor time from cat
#   itself. Where the disk reads slower while the processors are busy (seen on a virtual machine:
#   1.35 times cat's time), that second cat is the fastest a scan that keeps them busy can read,
#   and the scans' times are given against it too.
# Builds a Release tree in build-release/; images come from DATA (default build/bench-data) and
# are made there when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=${1:-3}
MIXED_MIB=${MIXED_MIB:-512}
DENSE_MIB=${DENSE_MIB:-1024}
COLD_ROUNDS=${COLD_ROUNDS:-1}
REL=build-release
DATA=${DATA:-build/bench-data}

TARGETS=()
# shellcheck source=bench/bench_common.sh
source bench/bench_common.sh

LISTING=(--json-lines --fields item,offset)

mibps() { awk -v m="$1" -v t="$2" 'BEGIN { print m / (t + 0.0005) }'; }

jobs_ratio() { # LABEL GOAL IMAGE [SCAN OPTIONS...]
  local label=$1 goal=$2 img=$3 mib
  shift 3
  mib=$(($(stat -c %s "$img") / 1048576))
  cat "$img" >/dev/null # warm the page cache
  local c=() one=() two=() w u s
  for _ in $(seq 1 "$ROUNDS"); do
    read -r w u s < <(timed cat "$img")
    c+=("$(mibps "$mib" "$w")")
    read -r w u s < <(timed "$CLI" scan "$img" "${LISTING[@]}" --jobs 1 "$@")
    one+=("$(mibps "$mib" "$w")")
    read -r w u s < <(timed "$CLI" scan "$img" "${LISTING[@]}" --jobs 2 "$@")
    two+=("$(mibps "$mib" "$w")")
  done
  local a b d
  a=$(printf '%s\n' "${c[@]}" | median)
  b=$(printf '%s\n' "${one[@]}" | median)
  d=$(printf '%s\n' "${two[@]}" | median)
  awk -v l="$label" -v m="$mib" -v a="$a" -v b="$b" -v d="$d" -v g="$goal" 'BEGIN {
    printf "%-22s %5d MiB | cat %6.0f MiB/s | jobs 1 %6.0f (%.2f of cat) | jobs 2 %6.0f (%.2f of cat) | jobs 2 / jobs 1 %.2f (goal %s)\n",
      l, m, a, b, b / a, d, d / a, d / b, g }'
}

memory() { # LABEL IMAGE [SCAN OPTIONS...]: peak resident memory of --jobs 2 against the goal
  local label=$1 img=$2 out peak found
  shift 2
  out=$(mktemp -d)
  /usr/bin/time -f %M -o "$out/rss" "$CLI" scan "$img" "${LISTING[@]}" --jobs 2 "$@" >"$out/listing"
  peak=$(tail -n 1 "$out/rss")
  found=$(wc -l <"$out/listing")
  rm -r "$out"
  awk -v l="$label" -v k="$peak" -v f="$found" 'BEGIN {
    goal = 300 + 200 * f / 1048576
    printf "%-22s peak %7.0f MiB for %8d messages | goal 300 MiB + 200 B x messages = %6.0f MiB: %s\n",
      l, k / 1024, f, goal, (k / 1024 <= goal) ? "met" : "over" }'
}

drop_caches() { sync && echo 3 >/proc/sys/vm/drop_caches 2>/dev/null; }

busy_cat() { # IMAGE: cat's times while every processor spins at the lowest priority
  # Run in a subshell: the loops end with it, however it ends (they would not heed Ctrl+C).
  busy_pids=()
  trap 'kill "${busy_pids[@]}" 2>/dev/null' EXIT
  for _ in $(seq 1 "$(nproc)"); do
    if chrt --idle 0 true 2>/dev/null; then
      chrt --idle 0 sh -c 'while :; do :; done' &
    else
      nice -n 19 sh -c 'while :; do :; done' &
    fi
    busy_pids+=($!)
  done
  sleep 0.2
  timed cat "$1"
}

cold() { # LABEL GOAL IMAGE [SCAN OPTIONS...]
  local label=$1 goal=$2 img=$3 mib
  shift 3
  mib=$(($(stat -c %s "$img") / 1048576))
  if ! drop_caches; then
    echo "cold reads: skipped, the page cache cannot be dropped here"
    return
  fi
  local ct=() bt=() one=() two=() w u s
  for _ in $(seq 1 "$COLD_ROUNDS"); do
    drop_caches
    read -r w u s < <(timed cat "$img")
    ct+=("$w")
    drop_caches
    read -r w u s < <(busy_cat "$img")
    bt+=("$w")
    drop_caches
    read -r w u s < <(timed "$CLI" scan "$img" "${LISTING[@]}" --jobs 1 "$@")
    one+=("$w")
    drop_caches
    read -r w u s < <(timed "$CLI" scan "$img" "${LISTING[@]}" --jobs 2 "$@")
    two+=("$w")
  done
  local a b d c f
  a=$(printf '%s\n' "${ct[@]}" | median)
  f=$(printf '%s\n' "${ct[@]}" | sort -g | head -1)
  c=$(printf '%s\n' "${bt[@]}" | median)
  b=$(printf '%s\n' "${one[@]}" | median)
  d=$(printf '%s\n' "${two[@]}" | median)
  awk -v l="$label" -v g="$goal" -v m="$mib" -v a="$a" -v b="$b" -v d="$d" -v c="$c" -v f="$f" 'BEGIN {
    printf "cold %-19s %5d MiB | cat %.2f s (fastest %.2f) | jobs 1 %.2f s (%.2f of cat time) | jobs 2 %.2f s (%.2f of cat time; goal %s: %s)\n",
      l, m, a, f, b, b / a, d, d / a, g, (d / a <= g) ? "met" : "over"
    printf "     %-19s %5s     | cat, processors busy %.2f s (%.2f of cat time) | jobs 1 %.2f of it | jobs 2 %.2f of it\n",
      "", "", c, c / a, b / c, d / c }'
}

MIXED=$(image mixed "$MIXED_MIB" mixed)
DENSE=$(image dense "$DENSE_MIB" dense)
echo "jobs 1 against jobs 2 and cat, page-cached, median of $ROUNDS alternating rounds (Release build;"
echo "the machine may be shared: the figures are as noisy as its load)"
jobs_ratio "standard mixed" - "$MIXED"
jobs_ratio "deep mixed" - "$MIXED" --deep
jobs_ratio "standard mail-dense" 1.6 "$DENSE"
jobs_ratio "deep mail-dense" 1.8 "$DENSE" --deep
echo "peak resident memory of --jobs 2, mail-dense image"
memory "standard mail-dense" "$DENSE"
memory "deep mail-dense" "$DENSE" --deep
cold "standard mail-dense" 1.05 "$DENSE"
cold "deep mail-dense" 1.5 "$DENSE" --deep

#!/usr/bin/env bash
# Both carving rules measured the same way, on the mixed image and the mail-dense one (page-cached,
# one worker, the Release scanner listing only each message's offset):
#   - instructions per byte (callgrind, over the first SLICE_MIB MiB of each image): the whole
#     program's, the same without its start-up (what a scan of an empty image costs: loading
#     the libraries), which is what a long scan pays per byte, and the rule's own (its start
#     test, text-run measure and cut, inclusive);
#   - throughput per core: image MiB over the scan's user + system time, and over its wall time,
#     medians of ROUNDS alternating rounds, each beside `cat` over the same image in the same round
#     (the ratio rule / cat is the figure to compare between machines).
# With BEFORE set to another scanner (an older build of parcelwright-cli), each line is printed for
# it too, "before" beside "after". The machine is shared: the timings are noisy, the instruction
# counts are not.
#
#   bash bench/bench_rules.sh [ROUNDS]      (environment: SLICE_MIB, MIXED_MIB, DENSE_MIB, BEFORE)
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=${1:-5}
SLICE_MIB=${SLICE_MIB:-32}
MIXED_MIB=${MIXED_MIB:-512}
DENSE_MIB=${DENSE_MIB:-1024}
REL=build-release
DATA=${DATA:-build/bench-data}
TARGETS=()
# shellcheck source=bench/bench_common.sh
source bench/bench_common.sh

SCANNERS=("after:$CLI")
[ -n "${BEFORE:-}" ] && SCANNERS=("before:$BEFORE" "${SCANNERS[@]}")
# One job: the figures are per core, and a split scan adds the merging to them.
SCAN_ARGS=(--json-lines --fields offset --jobs 1)
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

# The rule's functions as callgrind names them: its start test, text-run measure and cut.
rule_pattern() { # RULE
  if [ "$1" = deep ]; then
    echo 'TDeepRule::(StartsAt|TextPrefix|Carve)\('
  else
    echo 'TEmailParser::(StartsAt|TextPrefix|Carve)\('
  fi
}

# One sector of zeros: a scan of it costs the start-up alone.
head -c 512 /dev/zero >"$TMP/empty.img"

total_instructions() { # OUT -> the program's instruction count
  callgrind_annotate "$1" 2>/dev/null | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }'
}

instructions() { # SCANNER IMAGE RULE -> "total/byte scan/byte rule/byte"
  local cli=$1 img=$2 rule=$3 out=$TMP/cg.out bytes total fixed own
  local opts=()
  [ "$rule" = deep ] && opts+=(--deep)
  bytes=$(stat -c %s "$img")
  valgrind --tool=callgrind --callgrind-out-file="$out" "$cli" scan "$TMP/empty.img" \
    "${SCAN_ARGS[@]}" "${opts[@]}" >/dev/null 2>&1
  fixed=$(total_instructions "$out")
  valgrind --tool=callgrind --callgrind-out-file="$out" "$cli" scan "$img" "${SCAN_ARGS[@]}" \
    "${opts[@]}" >/dev/null 2>&1
  total=$(total_instructions "$out")
  own=$(callgrind_annotate --auto=no --inclusive=yes "$out" 2>/dev/null |
    grep -E "^ *[0-9,]+ .*$(rule_pattern "$rule")" | grep -v '=>' |
    awk '{ gsub(",", "", $1); s += $1 } END { print s + 0 }')
  awk -v t="$total" -v f="$fixed" -v o="$own" -v b="$bytes" \
    'BEGIN { printf "%.2f %.2f %.2f", t / b, (t - f) / b, o / b }'
}

measure() { # LABEL IMAGE
  local label=$1 img=$2 mib slice
  mib=$(($(stat -c %s "$img") / 1048576))
  slice=$TMP/slice.img
  head -c $((SLICE_MIB * 1048576)) "$img" >"$slice"
  cat "$img" >/dev/null # into the page cache
  echo "== $label ($mib MiB; instructions over the first $SLICE_MIB MiB)"
  for entry in "${SCANNERS[@]}"; do
    local name=${entry%%:*} cli=${entry#*:}
    for rule in standard deep; do
      local opts=() cw=() cc=() rw=() rc=() w u s ipb
      [ "$rule" = deep ] && opts+=(--deep)
      ipb=$(instructions "$cli" "$slice" "$rule")
      for _ in $(seq 1 "$ROUNDS"); do
        read -r w u s < <(timed cat "$img")
        cw+=("$(awk -v m="$mib" -v t="$w" 'BEGIN { print m / t }')")
        cc+=("$(awk -v m="$mib" -v u="$u" -v s="$s" 'BEGIN { print m / (u + s + 0.0005) }')")
        read -r w u s < <(timed "$cli" scan "$img" "${SCAN_ARGS[@]}" "${opts[@]}")
        rw+=("$(awk -v m="$mib" -v t="$w" 'BEGIN { print m / t }')")
        rc+=("$(awk -v m="$mib" -v u="$u" -v s="$s" 'BEGIN { print m / (u + s + 0.0005) }')")
      done
      local a b c d
      a=$(printf '%s\n' "${rc[@]}" | median)
      b=$(printf '%s\n' "${cc[@]}" | median)
      c=$(printf '%s\n' "${rw[@]}" | median)
      d=$(printf '%s\n' "${cw[@]}" | median)
      read -r total scan own <<<"$ipb"
      awk -v n="$name" -v r="$rule" -v t="$total" -v s="$scan" -v o="$own" -v a="$a" -v b="$b" \
        -v c="$c" -v d="$d" 'BEGIN {
        printf "%-6s %-8s instr/byte: program %6.2f (start-up excluded %6.2f) rule %6.2f | per core %6.2f GB/s (cat %6.2f, ratio %.2f) | wall %6.2f GB/s (cat %6.2f, ratio %.2f)\n",
          n, r, t, s, o, a * 1.048576 / 1000, b * 1.048576 / 1000, a / b, c * 1.048576 / 1000,
          d * 1.048576 / 1000, c / d }'
    done
  done
}

echo "the standard and deep rules, one worker, page-cached; medians of $ROUNDS rounds (Release build)"
echo "per core: MiB over user + system seconds; wall: over elapsed seconds; noisy on a shared machine"
measure mixed "$(image mixed "$MIXED_MIB" mixed)"
measure dense "$(image dense "$DENSE_MIB" dense)"

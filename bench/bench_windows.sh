#!/usr/bin/env bash
# The Windows scanner under Wine against the Linux scanner, side by side in one run on the same
# page-cached image: the ratio of their throughputs (Windows / Linux; 1.0 = as fast), by wall time
# and by processor time (user + system), each the median of ROUNDS alternating runs. On a machine
# shared with other work the processor-time ratio is the steadier figure. Both programs' starts
# (their --version) are timed in the same rounds, and the ratio of the scans alone, each start
# taken off, is printed too: Wine's start of a program is a fixed cost that weighs heavily on
# images of a few hundred MiB.
#   bash bench/bench_windows.sh IMAGE [LINUX_BUILD] [WINDOWS_BUILD]
# Environment: ROUNDS (5), SCAN_ARGS (--json: both scanners decode and hash each message for the
# JSON; on mail-dense images "--json --fields item,offset" compares the scans alone), BASELINE (another parcelwright-cli.exe, say an earlier build: timed
# in the same rounds, its ratio printed beside).
set -euo pipefail
cd "$(dirname "$0")/.."
IMAGE=$(realpath "$1")
LBUILD=${2:-build}
WBUILD=${3:-build-win}
ROUNDS=${ROUNDS:-5}
read -r -a ARGS <<<"${SCAN_ARGS:---json}"
source scripts/wine-env.sh
wine_prefix "$WBUILD"
"$WINESERVER" -p 60 # one server for all runs: its start is not part of a scan

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Wine starts the program as a process it does not wait for, so the shell's user and system times
# miss it; perf's task clock follows every process forked from the command.
PERF=$(command -v perf || true)
if [ -n "$PERF" ] && ! "$PERF" stat -x, -e task-clock true >/dev/null 2>&1; then PERF=""; fi
STAT=$(mktemp)
timed() { # wall and processor seconds of one command, its output discarded
  local TIMEFORMAT='%3R %3U %3S' w u s
  if [ -n "$PERF" ]; then
    read -r w u s < <({ time "$PERF" stat -x, -e task-clock -o "$STAT" "$@" >/dev/null 2>&1 </dev/null; } 2>&1)
    awk -F, -v w="$w" '$3 == "task-clock" { printf "%s %.3f\n", w, $1 / 1000 }' "$STAT"
  else
    read -r w u s < <({ time "$@" >/dev/null 2>&1 </dev/null; } 2>&1)
    awk -v w="$w" -v u="$u" -v s="$s" 'BEGIN { printf "%s %.3f\n", w, u + s }'
  fi
}

cat "$IMAGE" >/dev/null # page-cached
WIMAGE=$(wine_path "$IMAGE")
"$WINE" "$WBUILD/parcelwright-cli.exe" scan "$WIMAGE" >/dev/null 2>&1 </dev/null # Wine's DLLs cached
lw=() lc=() ww=() wc=() ws=() wsc=() ls=() lsc=() bw=() bc=()
for _ in $(seq 1 "$ROUNDS"); do
  read -r w c < <(timed "$WINE" "$WBUILD/parcelwright-cli.exe" --version)
  ws+=("$w") wsc+=("$c")
  read -r w c < <(timed "$LBUILD/parcelwright-cli" --version)
  ls+=("$w") lsc+=("$c")
  read -r w c < <(timed "$LBUILD/parcelwright-cli" scan "$IMAGE" "${ARGS[@]}")
  lw+=("$w") lc+=("$c")
  read -r w c < <(timed "$WINE" "$WBUILD/parcelwright-cli.exe" scan "$WIMAGE" "${ARGS[@]}")
  ww+=("$w") wc+=("$c")
  if [ -n "${BASELINE:-}" ]; then
    read -r w c < <(timed "$WINE" "$BASELINE" scan "$WIMAGE" "${ARGS[@]}")
    bw+=("$w") bc+=("$c")
  fi
done
mib=$(( $(stat -c %s "$IMAGE") / 1048576 ))
awk -v m="$mib" -v r="$ROUNDS" \
  -v lw="$(printf '%s\n' "${lw[@]}" | median)" -v lc="$(printf '%s\n' "${lc[@]}" | median)" \
  -v ww="$(printf '%s\n' "${ww[@]}" | median)" -v wc="$(printf '%s\n' "${wc[@]}" | median)" \
  -v st="$(printf '%s\n' "${ws[@]}" | median)" -v stc="$(printf '%s\n' "${wsc[@]}" | median)" \
  -v lst="$(printf '%s\n' "${ls[@]}" | median)" -v lstc="$(printf '%s\n' "${lsc[@]}" | median)" 'BEGIN {
  printf "image %d MiB, median of %d: Linux %.0f MiB/s (%.0f per CPU second), Windows under Wine %.0f MiB/s (%.0f per CPU second)\n",
         m, r, m / lw, m / lc, m / ww, m / wc
  printf "ratio Windows / Linux: %.2f by wall time, %.2f by CPU time\n", lw / ww, lc / wc
  printf "(the Windows wall time holds %.2f s of starting a program under Wine: images of a few GiB keep it small)\n", st
  # Each start (its --version, timed in the same rounds) taken off: the scans alone.
  if (ww > st && lw > lst && wc > stc && lc > lstc)
    printf "ratio of the scans alone, starts taken off (Wine %.2f s / %.3f CPU s, Linux %.2f s / %.3f CPU s): %.2f by wall time, %.2f by CPU time\n",
           st, stc, lst, lstc, (lw - lst) / (ww - st), (lc - lstc) / (wc - stc) }'
rm -f "$STAT"
if [ -n "${BASELINE:-}" ]; then
  awk -v m="$mib" \
    -v lw="$(printf '%s\n' "${lw[@]}" | median)" -v lc="$(printf '%s\n' "${lc[@]}" | median)" \
    -v bw="$(printf '%s\n' "${bw[@]}" | median)" -v bc="$(printf '%s\n' "${bc[@]}" | median)" 'BEGIN {
    printf "baseline %s under Wine %.0f MiB/s: ratio %.2f by wall time, %.2f by CPU time\n",
           ENVIRON["BASELINE"], m / bw, lw / bw, lc / bc }'
fi
"$WINESERVER" -k >/dev/null 2>&1 || true

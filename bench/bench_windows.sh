#!/usr/bin/env bash
# The Windows scanner under Wine against the Linux scanner, side by side in one run on the same
# page-cached image: the ratio of their throughputs (Windows / Linux; 1.0 = as fast).
#   bash bench/bench_windows.sh IMAGE [LINUX_BUILD] [WINDOWS_BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
IMAGE=$(realpath "$1")
LBUILD=${2:-build}
WBUILD=${3:-build-win}
source scripts/wine-env.sh
wine_prefix "$WBUILD"
"$WINESERVER" -p 60 # one server for all runs: its start is not part of a scan

cat "$IMAGE" >/dev/null # page-cached
best() { # command...: the best wall time of three runs, in seconds
  local best=""
  for _ in 1 2 3; do
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 </dev/null
    t1=$(date +%s.%N)
    best=$(awk -v a="$t0" -v z="$t1" -v b="$best" 'BEGIN { t = z - a; print (b == "" || t < b) ? t : b }')
  done
  echo "$best"
}
linux=$(best "$LBUILD/parcelwright-cli" scan "$IMAGE" --json)
windows=$(best "$WINE" "$WBUILD/parcelwright-cli.exe" scan "$(wine_path "$IMAGE")" --json)
mib=$(( $(stat -c %s "$IMAGE") / 1048576 ))
awk -v l="$linux" -v w="$windows" -v m="$mib" 'BEGIN {
  printf "image %d MiB: Linux %.0f MiB/s, Windows under Wine %.0f MiB/s, ratio %.2f\n",
         m, m / l, m / w, l / w }'
"$WINESERVER" -k >/dev/null 2>&1 || true

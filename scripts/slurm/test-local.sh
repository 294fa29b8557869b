#!/usr/bin/env bash
# The cluster test: starts a one-node Slurm here (scripts/slurm/start-local.sh), scans test images
# as four-range job arrays through scripts/slurm/scan.sh, and checks that each merged JSON equals
# the whole scan's byte for byte (and each report the whole scan's), for both rules, and that a
# merge missing a range is refused. Stops the daemons again if it started them.
# Runs as root (the daemons). Uses the programs of build/ (BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD=${BUILD_DIR:-build}
CLI=$PWD/$BUILD/parcelwright-cli
MAKE_IMAGE=$PWD/$BUILD/bench/make_bench_image
[ -x "$CLI" ] || { echo "slurm test: build $CLI first" >&2; exit 1; }

started=0
if ! pgrep -x slurmctld >/dev/null; then started=1; fi
bash scripts/slurm/start-local.sh
work=$(mktemp -d /tmp/parcelwright-slurm.XXXXXX)
cleanup() {
  rm -rf "$work"
  if [ "$started" = 1 ]; then bash scripts/slurm/start-local.sh stop >/dev/null; fi
}
trap cleanup EXIT

# Mail-dense (a message every sector or two, so every cut falls inside or beside a message, LF and
# CR LF, multipart) and mixed (runs of text, random bytes and zeros between messages).
mkdir -p "$work/reports"
bash scripts/make-demo-image.sh "$work/demo.img" >/dev/null
"$MAKE_IMAGE" "$work/dense.img" 16 dense
"$MAKE_IMAGE" "$work/mixed.img" 16 mixed

status=0
for image in demo dense mixed; do
  for rule in standard deep; do
    options=()
    [ "$rule" = deep ] && options=(--deep)
    out="$work/$image-$rule"
    "$CLI" scan "$work/$image.img" --json --dfxml "$work/reports/whole.dfxml" "${options[@]}" >"$work/whole.json"
    if ! PARCELWRIGHT_CLI=$CLI bash scripts/slurm/scan.sh "$work/$image.img" 4 "$out" "${options[@]}" >"$work/scan.log" 2>&1; then
      cat "$work/scan.log" "$out"/parts/*.log 2>/dev/null
      echo "slurm test: $image ($rule): the cluster scan failed"
      status=1
      continue
    fi
    # The reports differ in the command line they name, and in nothing else.
    if cmp -s "$work/whole.json" "$out/results.json" &&
        cmp -s <(grep -v '<command_line>' "$work/reports/whole.dfxml") \
          <(grep -v '<command_line>' "$out/results.dfxml"); then
      echo "slurm test: $image ($rule): 4 ranges merged equal the whole scan ($(grep -o '"item":' "$out/results.json" | wc -l) messages)"
    else
      echo "slurm test: $image ($rule): the merged results differ from the whole scan"
      status=1
    fi
  done
done
# Parts that do not make the whole target together are refused, with one line, writing nothing.
parts=("$work/dense-standard"/parts/part-*.part)
if "$CLI" merge "$work/dense.img" "${parts[0]}" "${parts[2]}" "${parts[3]}" --json \
    --dfxml "$work/reports/refused.dfxml" >"$work/refused.json" 2>"$work/refused.err" ||
    [ "$(wc -l <"$work/refused.err")" != 1 ] || [ -s "$work/refused.json" ] ||
    [ -e "$work/reports/refused.dfxml" ]; then
  echo "slurm test: a merge with a range missing was not refused cleanly:"
  cat "$work/refused.err"
  status=1
else
  echo "slurm test: a merge with a range missing is refused: $(cat "$work/refused.err")"
fi
exit "$status"

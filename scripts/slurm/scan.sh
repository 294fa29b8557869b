#!/usr/bin/env bash
# Scans one drive or image on a Slurm cluster: a job array with one task per byte range, each
# writing a part file, and a merge job that starts when every task has succeeded and writes what
# one whole scan would give.
#
#   scripts/slurm/scan.sh TARGET PARTS OUTDIR [SCAN OPTION...]
#
# TARGET and OUTDIR must be reachable at the same paths on every node (a shared folder). SCAN
# OPTIONs (such as --deep or --sector-size 4096) go to every range's scan. The merge writes
# OUTDIR/results.json (what `scan --json` prints) and OUTDIR/results.dfxml; the part files and the
# tasks' logs stay in OUTDIR/parts. The script waits for the merge and prints where the results
# are. Every node runs the parcelwright-cli that PARCELWRIGHT_CLI names, or the one on PATH here.
# sbatch options (partition, account, time) come from the usual SBATCH_* variables.
#
# Exit status: 0 done; 3 done, but some sectors could not be read (they count as zeros);
# 1 a task or the merge failed (its log is named); 2 wrong usage.
set -euo pipefail

usage() {
  echo "usage: $0 TARGET PARTS OUTDIR [SCAN OPTION...]" >&2
  exit 2
}
[ $# -ge 3 ] || usage
TARGET=$1
PARTS=$2
OUTDIR=$3
shift 3
SCAN_OPTIONS=("$@")
[[ $PARTS =~ ^[1-9][0-9]*$ ]] || usage

CLI=${PARCELWRIGHT_CLI:-$(command -v parcelwright-cli || true)}
if [ -z "$CLI" ] || [ ! -x "$CLI" ]; then
  echo "scan: no parcelwright-cli (put it on PATH or name it in PARCELWRIGHT_CLI)" >&2
  exit 1
fi
CLI=$(realpath "$CLI")
for tool in sbatch squeue scancel; do
  command -v "$tool" >/dev/null || { echo "scan: $tool not found: is this a Slurm submit host?" >&2; exit 1; }
done
[ -e "$TARGET" ] || { echo "scan: $TARGET does not exist" >&2; exit 1; }
TARGET=$(realpath "$TARGET")
mkdir -p "$OUTDIR/parts"
OUTDIR=$(realpath "$OUTDIR")

# The ranges, cut at sector starts: one line "START-END" per task. Only the sector size among the
# scan's options changes where sectors start; the merge needs it too, to know the target as the
# tasks knew it.
GEOMETRY=()
for ((i = 0; i < ${#SCAN_OPTIONS[@]}; i++)); do
  case ${SCAN_OPTIONS[i]} in
    --sector-size) GEOMETRY+=(--sector-size "${SCAN_OPTIONS[i + 1]:-}") ;;
    --sector-size=*) GEOMETRY+=("${SCAN_OPTIONS[i]}") ;;
  esac
done
"$CLI" ranges "$TARGET" "$PARTS" "${GEOMETRY[@]}" >"$OUTDIR/parts/ranges.txt"
tasks=$(wc -l <"$OUTDIR/parts/ranges.txt")
rm -f "$OUTDIR"/parts/*.part "$OUTDIR"/parts/*.rc "$OUTDIR"/parts/*.log "$OUTDIR/results.json" "$OUTDIR/results.dfxml"

# One task: the range on its line of ranges.txt. A scan that finished with unreadable sectors
# (status 3) made a good part; the merge reports those sectors again.
cat >"$OUTDIR/parts/task.sh" <<'TASK'
#!/usr/bin/env bash
set -uo pipefail
k=$SLURM_ARRAY_TASK_ID
range=$(sed -n "$((k + 1))p" "$PW_OUTDIR/parts/ranges.txt")
part=$(printf '%s/parts/part-%04d.part' "$PW_OUTDIR" "$k")
"$PW_CLI" scan "$PW_TARGET" --range "$range" --part "$part" "$@"
rc=$?
echo "$rc" >"$PW_OUTDIR/parts/task-$k.rc"
[ "$rc" -eq 0 ] || [ "$rc" -eq 3 ]
TASK
cat >"$OUTDIR/parts/merge.sh" <<'MERGE'
#!/usr/bin/env bash
set -uo pipefail
cd "$PW_OUTDIR"
"$PW_CLI" merge "$PW_TARGET" parts/part-*.part "$@" --json --dfxml results.dfxml.new >results.json.new
rc=$?
if [ "$rc" -eq 0 ] || [ "$rc" -eq 3 ]; then
  mv results.json.new results.json
  mv results.dfxml.new results.dfxml
else
  rm -f results.json.new results.dfxml.new
fi
echo "$rc" >parts/merge.rc
[ "$rc" -eq 0 ] || [ "$rc" -eq 3 ]
MERGE

export PW_CLI=$CLI PW_TARGET=$TARGET PW_OUTDIR=$OUTDIR
array=$(sbatch --parsable --job-name=pw-scan --array="0-$((tasks - 1))" --export=ALL \
  --output="$OUTDIR/parts/task-%a.log" "$OUTDIR/parts/task.sh" "${SCAN_OPTIONS[@]}")
array=${array%%;*}
merge=$(sbatch --parsable --job-name=pw-merge --dependency="afterok:$array" --kill-on-invalid-dep=yes \
  --export=ALL --output="$OUTDIR/parts/merge.log" "$OUTDIR/parts/merge.sh" "${GEOMETRY[@]}")
merge=${merge%%;*}
echo "scan: submitted $tasks range tasks (job $array) and the merge (job $merge)"

# Waits for the merge job to leave the queue; a task that failed makes the merge's dependency fail,
# and then Slurm drops it.
while [ -n "$(squeue -h -j "$merge" -o %i 2>/dev/null)" ]; do
  for rc in "$OUTDIR"/parts/task-*.rc; do
    [ -e "$rc" ] || continue
    code=$(cat "$rc")
    if [ "$code" != 0 ] && [ "$code" != 3 ]; then
      scancel "$merge" "$array" 2>/dev/null || true
      echo "scan: a range's task failed (status $code); see ${rc%.rc}.log" >&2
      exit 1
    fi
  done
  sleep 2
done

if [ ! -f "$OUTDIR/parts/merge.rc" ]; then
  echo "scan: the merge did not run (a task failed or was cancelled); see the logs in $OUTDIR/parts" >&2
  exit 1
fi
code=$(cat "$OUTDIR/parts/merge.rc")
if [ "$code" != 0 ] && [ "$code" != 3 ]; then
  echo "scan: the merge failed (status $code); see $OUTDIR/parts/merge.log" >&2
  exit 1
fi
echo "scan: results in $OUTDIR/results.json and $OUTDIR/results.dfxml"
exit "$code"

#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with address and undefined-behaviour checks) and fuzzes each
# for a while, starting from a copy of its seed corpus in fuzz/corpus/. Any broken invariant, crash,
# hang or leak stops the run with the input saved in the work folder (exit status not 0).
#
#   bash scripts/fuzz.sh                 # 10 minutes per target
#   FUZZ_SECONDS=60 bash scripts/fuzz.sh # what CI runs
#   bash scripts/fuzz.sh scan            # only some targets
#
# New inputs the fuzzer finds stay in build-fuzz/work/<target>; to keep a good one as a seed,
# copy it into fuzz/corpus/<target>/ (keep the seeds small).
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${FUZZ_SECONDS:-600}
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=(is_message_start extract_messages search_text scan deep deep_reference split)

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DPW_FUZZ=ON \
    -DPW_BUILD_TESTS=OFF -DPW_BUILD_GUI=OFF -DPW_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" --target fuzz_all

status=0
for t in "${TARGETS[@]}"; do
    work="$BUILD/work/$t"
    mkdir -p "$work" "$BUILD/crashes/$t"
    cp -n fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
    log="$BUILD/fuzz_$t.log"
    echo "--- fuzz_$t: ${SECONDS_PER_TARGET} s"
    if "$BUILD/fuzz/fuzz_$t" -max_total_time="$SECONDS_PER_TARGET" -max_len=16384 -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$BUILD/crashes/$t/" \
        "$work" >"$log" 2>&1; then
        runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
        echo "    ok: ${runs:-?} executions, corpus $(ls "$work" | wc -l) inputs"
    else
        status=1
        echo "    FAILED (log: $log, input kept in $BUILD/crashes/$t/):"
        grep -E 'invariant broken|ERROR:|SUMMARY:|runtime error' "$log" | head -5 | sed 's/^/    /'
    fi
done
exit $status

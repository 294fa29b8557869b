#!/usr/bin/env bash
# Sets up, builds (warnings are errors) and runs the tests. Exit status 0 only when all pass.
#
#   bash scripts/test.sh quick   # the edit-test loop: set up, build, every test of build/
#   bash scripts/test.sh         # what CI runs (also: full): the quick stage, then the Windows
#                                # build under Wine, a one-node Slurm cluster test, the
#                                # sanitizer build, a bounded fuzz run and the Debian package check
set -euo pipefail
cd "$(dirname "$0")/.."

STAGE=${1:-full}
case $STAGE in
  quick | full) ;;
  *)
    echo "usage: $0 [quick|full]" >&2
    exit 2
    ;;
esac

# --- Quick: the ordinary build and its tests ------------------------------------------------
bash scripts/setup.sh

BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_WERROR=ON \
    -DPW_ASSERTIONS=ON >/dev/null
cmake --build "$BUILD"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)"

[ "$STAGE" = quick ] && exit 0

# --- Windows: MinGW-w64 cross build; its tests run under Wine (see scripts/test-windows.sh) ---
bash scripts/test-windows.sh

# --- Cluster: a one-node Slurm here; job arrays of range scans merged equal the whole scan -----
if [ "$(id -u)" -eq 0 ]; then
  BUILD_DIR=$BUILD bash scripts/slurm/test-local.sh
else
  sudo BUILD_DIR="$BUILD" bash scripts/slurm/test-local.sh
fi

# --- Sanitizers: the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer ----
ASAN_BUILD=${ASAN_BUILD_DIR:-build-asan}
cmake -S . -B "$ASAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_WERROR=ON \
    -DPW_SANITIZE=address,undefined -DPW_ASSERTIONS=ON -DPW_BUILD_BENCH=OFF >/dev/null
cmake --build "$ASAN_BUILD"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp" \
    ctest --test-dir "$ASAN_BUILD" --output-on-failure -j"$(nproc)"

# --- Fuzzing: a bounded run of every libFuzzer target (longer runs: scripts/fuzz.sh) -----------
FUZZ_SECONDS=${FUZZ_SECONDS:-30} bash scripts/fuzz.sh

# --- Package: the .deb, lintian, and the installed programs against the build's -------------
bash scripts/check-package.sh

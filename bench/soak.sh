#!/usr/bin/env bash
# The soak under AddressSanitizer and UndefinedBehaviorSanitizer: soak_core scans a mail-dense
# image SCANS times in one process through the window core, the standard and the deep rule in
# turn, and checks after each scan that the messages found are the same and that the heap in use
# is back where the first scan of that rule left it; at exit LeakSanitizer looks for leaks. About
# three minutes on this machine with the defaults.
#
#   bash bench/soak.sh [SCANS]       (environment: DENSE_MIB, MARGIN_MIB, SOAK_TRIM)
#
# SCANS defaults to 10, DENSE_MIB (the image's size) to 1024 (the mail-dense benchmark's image,
# about 20 s a scan here), MARGIN_MIB (the growth allowed) to 16. The heap column (bytes
# allocated and not freed) is what a leak grows. The sanitizer allocator keeps freed blocks in
# quarantine and in caches of its own, which the program's own allocator does not, so its free
# memory is handed back to the system after each scan before the resident size is taken
# (soak_core --trim); SOAK_TRIM=0 measures without that. The resident size is printed but not
# judged here: it also holds the sanitizers' shadow of every address the heap ever reached and
# their store of allocation stacks, which they never hand back. For resident memory as a user sees
# it, judged too, run soak_core of an ordinary build: build/bench/soak_core IMAGE.
# Builds build-soak-asan/ (soak_core and the image maker only) and caches the image in
# build/bench-data/. Exits non-zero when the soak fails or a sanitizer reports.
set -euo pipefail
cd "$(dirname "$0")/.."

SCANS=${1:-10}
DENSE_MIB=${DENSE_MIB:-1024}
MARGIN_MIB=${MARGIN_MIB:-16}
ASAN=build-soak-asan
DATA=build/bench-data

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$ASAN" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_WERROR=ON \
  -DPW_SANITIZE=address,undefined -DPW_ASSERTIONS=ON -DPW_BUILD_GUI=OFF -DPW_BUILD_TESTS=OFF \
  "${launcher[@]}" >/dev/null
cmake --build "$ASAN" -j2 --target soak_core make_bench_image >/dev/null

mkdir -p "$DATA"
IMG=$DATA/dense-${DENSE_MIB}MiB.img
if [ ! -f "$IMG" ]; then
  "$ASAN/bench/make_bench_image" "$IMG.part" "$DENSE_MIB" dense >&2
  mv "$IMG.part" "$IMG"
fi

trim=()
if [ "${SOAK_TRIM:-1}" = 1 ]; then trim=(--trim); fi
# A quarantine of 64 MiB still catches a use of a block freed a few thousand blocks earlier, and
# fills in the first scan, so it does not pass for growth between scans.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=64
export UBSAN_OPTIONS=print_stacktrace=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
TIMEFORMAT='soak: %0R s in all'
time "$ASAN/bench/soak_core" "${trim[@]}" "$IMG" "$SCANS" "$MARGIN_MIB"

#!/usr/bin/env bash
# Sets up, builds (warnings are errors) and runs every test. Exit status 0 only when all pass.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_WERROR=ON >/dev/null
cmake --build "$BUILD"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)"

# --- Windows: MinGW-w64 cross build; its tests run under Wine (see scripts/test-windows.sh) ---
bash scripts/test-windows.sh

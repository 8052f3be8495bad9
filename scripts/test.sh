#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
./scripts/deps.sh
# shellcheck disable=SC2086
cmake -S . -B "$build" ${CMAKE_EXTRA:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

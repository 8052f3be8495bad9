#!/usr/bin/env bash
# Installs what is missing, builds, and starts Dimenzo.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
exec ./build/bin/dimenzo "$@"

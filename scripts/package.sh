#!/usr/bin/env bash
# Builds Dimenzo and makes its Debian package, build/dimenzo_<version>-1_amd64.deb,
# then checks it with lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
(cd build && cpack -G DEB)
lintian build/dimenzo_*.deb

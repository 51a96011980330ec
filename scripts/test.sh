#!/usr/bin/env bash
# Runs every test: builds both firmware images and checks them, then the host unit
# tests (plain and under ASan/UBSan) and the virtual-board tests of the images.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

jobs=$(nproc)
cmake --preset firmware >/dev/null
cmake --build --preset firmware -j "$jobs"
ctest --preset firmware -j "$jobs"

cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
ctest --preset host -j "$jobs"

cmake --preset host-sanitize >/dev/null
cmake --build --preset host-sanitize -j "$jobs"
ctest --preset host-sanitize -j "$jobs"

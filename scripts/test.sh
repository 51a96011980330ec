#!/usr/bin/env bash
# Runs every test: builds both firmware images and checks them, the same for the
# debug images (firmware-debug: our own code at -O0, the platform at -Og, no LTO; every check but the size budget),
# then the host unit tests (plain and under ASan/UBSan) and the virtual-board
# tests of the images (the scenarios on the release and on the debug images),
# the quick host preset first, then the long runs (host-long).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

jobs=$(nproc)
cmake --preset firmware >/dev/null
cmake --build --preset firmware -j "$jobs"
ctest --preset firmware -j "$jobs"

cmake --preset firmware-debug >/dev/null
cmake --build --preset firmware-debug -j "$jobs"
ctest --preset firmware-debug -j "$jobs"

cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
ctest --preset host -j "$jobs"
ctest --preset host-long -j "$jobs"

cmake --preset host-sanitize >/dev/null
cmake --build --preset host-sanitize -j "$jobs"
ctest --preset host-sanitize -j "$jobs"

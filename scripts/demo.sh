#!/usr/bin/env bash
# Builds both firmware images and runs each on the virtual board: the front
# lights following the control pulse, the rear strip following the three lines
# (pictures of both runs, SVG and PNG, go to docs/pictures), then plays the
# shipped scenarios.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

jobs=$(nproc)
cmake --preset firmware >/dev/null
cmake --build --preset firmware -j "$jobs"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs" --target vboard vboard-png

echo
./scripts/pictures.sh
vb=build/host/vboard/vboard
echo
echo "== the shipped scenarios (scenarios/front_lamp, scenarios/rear_lamp) =="
for board in front_lamp rear_lamp; do
  for f in scenarios/$board/*.yaml; do
    "$vb" build/firmware/${board}.elf --scenario "$f" --no-color | sed -n 1p
  done
done

#!/usr/bin/env bash
# Builds both firmware images and runs each on the virtual board: the front
# lights following the control pulse, the rear strip following the three lines
# (pictures of both runs go to docs/pictures), then plays the shipped scenarios.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

jobs=$(nproc)
cmake --preset firmware >/dev/null
cmake --build --preset firmware -j "$jobs"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs" --target vboard

vb=build/host/vboard/vboard
mkdir -p docs/pictures
echo
echo "== front_lamp: 1000 us pulses, then 1600 us from 250 ms, then the signal stops at 500 ms =="
"$vb" build/firmware/front_lamp.elf --for 700ms \
  --pulse PA0=1000us@20ms,period=20ms,stop=250ms \
  --pulse PA0=1600us@250ms,period=20ms,stop=500ms \
  --svg docs/pictures/front_lamp.svg
echo
echo "== rear_lamp: nothing connected, then PB5 low (red), PB6 low too (yellow), all low (white) =="
"$vb" build/firmware/rear_lamp.elf --for 40ms \
  --set PB5=0@10ms --set PB6=0@20ms --set PB4=0@30ms \
  --svg docs/pictures/rear_lamp.svg
echo
echo "pictures of both runs: docs/pictures/front_lamp.svg, docs/pictures/rear_lamp.svg"
echo
echo "== the shipped scenarios (scenarios/front, scenarios/rear) =="
for board in front rear; do
  for f in scenarios/$board/*.yaml; do
    "$vb" build/firmware/${board}_lamp.elf --scenario "$f" --no-color | sed -n 1p
  done
done

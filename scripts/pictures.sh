#!/usr/bin/env bash
# Draws the pictures of the demo's two runs (SVG and PNG) into docs/pictures
# and prints each run's text report. With --check they are drawn into a
# temporary folder instead and compared byte for byte with the committed ones:
# exit 1 naming the first picture that differs. Needs the firmware and host
# builds (./scripts/demo.sh makes both).
set -euo pipefail
cd "$(dirname "$0")/.."
out=docs/pictures
if [ "${1:-}" = "--check" ]; then
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
elif [ $# -gt 0 ]; then
  echo "usage: scripts/pictures.sh [--check]" >&2
  exit 64
fi
vb=build/host/vboard/vboard
mkdir -p "$out"
echo "== front_lamp: 1000 us pulses, then 1600 us from 250 ms, then the signal stops at 500 ms =="
"$vb" build/firmware/front_lamp.elf --for 700ms --no-color \
  --pulse PA0=1000us@20ms,period=20ms,stop=250ms \
  --pulse PA0=1600us@250ms,period=20ms,stop=500ms \
  --svg "$out/front_lamp.svg" --png "$out/front_lamp.png"
echo
echo "== rear_lamp: nothing connected, then PB5 low (red), PB6 low too (yellow), all low (white) =="
"$vb" build/firmware/rear_lamp.elf --for 40ms --no-color \
  --set PB5=0@10ms --set PB6=0@20ms --set PB4=0@30ms \
  --svg "$out/rear_lamp.svg" --png "$out/rear_lamp.png"
echo
if [ "$out" = docs/pictures ]; then
  echo "pictures of both runs: docs/pictures/front_lamp.{svg,png}, docs/pictures/rear_lamp.{svg,png}"
  exit 0
fi
for f in front_lamp.svg front_lamp.png rear_lamp.svg rear_lamp.png; do
  if ! cmp -s "$out/$f" "docs/pictures/$f"; then
    echo "docs/pictures/$f differs from what the images draw now: run ./scripts/pictures.sh and commit it"
    exit 1
  fi
done
echo "docs/pictures: the four pictures are what the images draw now"

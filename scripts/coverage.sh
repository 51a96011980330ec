#!/usr/bin/env bash
# Line and function coverage of the firmware sources, from two sides kept apart:
#  - image level: every virtual-board test and every shipped scenario (all of
#    `ctest --preset host` but the mutation tool, and `ctest --preset host-long`:
#    the long runs and the edge storms) with VBOARD_COVERAGE_DIR set, so that each run of an
#    exact image leaves an lcov tracefile (vboard's block counts over the image's
#    DWARF line table; the images are not instrumented);
#  - host level: the host unit tests and the host conformance runner built with
#    gcov instrumentation in build/coverage-host, captured with lcov.
# Merges each side's tracefiles with lcov, renders HTML with genhtml into
# build/coverage/{image,host}/html and prints one table per folder with both.
# Also writes build/coverage/image/uncovered.txt: the firmware lines that no
# image-level run reached.
#
#   ./scripts/coverage.sh            # both sides
#   ./scripts/coverage.sh --image    # image level only (no gcov build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
sides="image host"
case "${1:-}" in
  "") ;;
  --image) sides="image" ;;
  *) echo "coverage.sh: unknown argument '$1' (use --image or nothing)" >&2; exit 64 ;;
esac
./scripts/deps.sh
jobs=2
out=build/coverage
rm -rf "$out"
mkdir -p "$out/image/raw" "$out/host"

# The folders of the table, and what the tracefiles are cut down to.
folders=(mid front_lamp/Core/Src front_lamp/app rear_lamp/Core/Src rear_lamp/app platform/common platform/chip platform/startup)
keep=()
for f in "${folders[@]}"; do keep+=("$root/$f/*"); done

merge() {  # merge OUT FILE... : lcov -a over the files, in batches (one command line each)
  local dest=$1
  shift
  local acc=""
  local batch=()
  for f in "$@"; do
    batch+=(-a "$f")
    if ((${#batch[@]} >= 100)); then
      [ -n "$acc" ] && batch+=(-a "$acc")
      lcov -q "${batch[@]}" -o "$dest.part" && mv "$dest.part" "$dest" && acc=$dest
      batch=()
    fi
  done
  if ((${#batch[@]})); then
    [ -n "$acc" ] && batch+=(-a "$acc")
    lcov -q "${batch[@]}" -o "$dest.part" && mv "$dest.part" "$dest"
  fi
}

if [[ $sides == *image* ]]; then
  nice -n 5 cmake --preset firmware >/dev/null
  nice -n 5 cmake --build --preset firmware -j "$jobs"
  nice -n 5 cmake --preset host >/dev/null
  nice -n 5 cmake --build --preset host -j "$jobs"
  # Every virtual-board test and scenario; a failing test fails the report.
  for preset in host host-long; do
    VBOARD_COVERAGE_DIR="$root/$out/image/raw" nice -n 5 ctest --preset $preset -j "$jobs" -LE mutation \
      >>"$out/image/ctest.log" ||
      { tail -20 "$out/image/ctest.log"; echo "coverage.sh: tests failed (log: $out/image/ctest.log)" >&2; exit 1; }
  done
  mapfile -t raw < <(find "$out/image/raw" -name '*.info' | sort)
  ((${#raw[@]})) || { echo "coverage.sh: no tracefile was written" >&2; exit 1; }
  echo "image level: ${#raw[@]} runs"
  merge "$out/image/all.info" "${raw[@]}"
  lcov -q -e "$out/image/all.info" "${keep[@]}" -o "$out/image/firmware.info"
  genhtml -q --demangle-cpp -o "$out/image/html" "$out/image/firmware.info" --title "images (vboard)"
fi

if [[ $sides == *host* ]]; then
  cmake -S . -B build/coverage-host -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWITH_VBOARD=OFF \
    -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
  nice -n 5 cmake --build build/coverage-host -j "$jobs"
  find build/coverage-host -name '*.gcda' -delete
  nice -n 5 ctest --test-dir build/coverage-host -j "$jobs" >"$out/host/ctest.log" ||
    { tail -20 "$out/host/ctest.log"; echo "coverage.sh: host tests failed" >&2; exit 1; }
  lcov -q --capture --directory build/coverage-host --output-file "$out/host/all.info" 2>"$out/host/lcov.log"
  lcov -q -e "$out/host/all.info" "${keep[@]}" -o "$out/host/firmware.info"
  genhtml -q --demangle-cpp -o "$out/host/html" "$out/host/firmware.info" --title "host tests (gcov)"
fi

python3 - "$root" "$out" "${folders[@]}" <<'EOF'
import sys
from pathlib import Path

root, out, folders = Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3:]

def read(path):
    """file -> (lines {n: hits}, functions {name: hits})"""
    files, cur = {}, None
    if not path.exists():
        return None
    for l in path.read_text().splitlines():
        if l.startswith("SF:"):
            cur = files.setdefault(l[3:], ({}, {}))
        elif l.startswith("DA:"):
            n, h = l[3:].split(",")[:2]
            cur[0][int(n)] = max(cur[0].get(int(n), 0), int(h))
        elif l.startswith("FNDA:"):
            h, name = l[5:].split(",", 1)
            cur[1][name] = max(cur[1].get(name, 0), int(h))
    return files

def figures(files, folder):
    lf = lh = ff = fh = 0
    for path, (lines, fns) in (files or {}).items():
        if path.startswith(f"{root}/{folder}/"):
            lf += len(lines); lh += sum(h > 0 for h in lines.values())
            ff += len(fns); fh += sum(h > 0 for h in fns.values())
    if not lf:
        return "-"
    return f"{lh}/{lf} lines {100 * lh / lf:5.1f} %, {fh}/{ff} fns"

image, host = read(out / "image/firmware.info"), read(out / "host/firmware.info")
print(f"{'folder':20} | {'images (vboard tests, scenarios)':40} | host tests (gcov)")
print("-" * 20 + "-+-" + "-" * 40 + "-+-" + "-" * 36)
for f in folders:
    print(f"{f:20} | {figures(image, f):40} | {figures(host, f)}")
if image:
    with open(out / "image/uncovered.txt", "w") as u:
        for path, (lines, _) in sorted(image.items()):
            missed = [n for n, h in sorted(lines.items()) if h == 0]
            if missed:
                src = Path(path).read_text().splitlines()
                for n in missed:
                    u.write(f"{Path(path).relative_to(root)}:{n}: {src[n - 1].strip()}\n")
    print(f"image-level lines not reached: {out}/image/uncovered.txt; HTML: {out}/image/html/index.html"
          + (f", {out}/host/html/index.html" if host else ""))
EOF

#!/usr/bin/env bash
# Mutation score of the firmware sources (scripts/mutate.py --help): single
# mutants built and tested in a copy of the tree, at low priority.
#   ./scripts/mutate.sh --sample 50            # 50 mutants, fixed seed
#   ./scripts/mutate.sh --list --sample 10     # what would run
set -euo pipefail
cd "$(dirname "$0")/.."
exec nice -n 15 python3 scripts/mutate.py "$@"

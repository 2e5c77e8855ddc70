#!/usr/bin/env bash
# Runs every benchmark built in the given build folder.
set -euo pipefail
dir=${1:-build-bench}
found=0
for b in "$dir"/bench/bench_*; do
  [[ -x "$b" ]] || continue
  found=1
  "$b"
done
((found)) || echo "No benchmarks built yet."

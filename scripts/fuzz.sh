#!/usr/bin/env bash
# Runs every fuzz target of the build folder for the given number of seconds on its corpus.
set -euo pipefail
dir=${1:-build-fuzz}
seconds=${2:-60}
found=0
for f in "$dir"/fuzz/fuzz_*; do
  [[ -x "$f" ]] || continue
  found=1
  name=$(basename "$f")
  corpus="fuzz/corpus/${name#fuzz_}"
  mkdir -p "$corpus" fuzz/regressions
  work=$(mktemp -d)
  "$f" -max_total_time="$seconds" -artifact_prefix="fuzz/regressions/${name#fuzz_}-" "$work" "$corpus"
  rm -rf "$work"
done
((found)) || echo "No fuzz targets built yet."

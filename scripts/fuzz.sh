#!/usr/bin/env bash
# Runs every fuzz target of the build folder for the given number of seconds on its
# corpus (new inputs it finds are not kept; add good ones to the corpus by hand).
# Inputs that failed are kept in fuzz/regressions/ and replayed as tests. FUZZ_RUNS bounds
# the runs and FUZZ_SEED fixes the mutations, so that a run can be repeated exactly (CI).
set -euo pipefail
dir=${1:-build-fuzz}
seconds=${2:-60}
found=0
status=0
for f in "$dir"/fuzz/fuzz_*; do
  [[ -x "$f" ]] || continue
  found=1
  name=$(basename "$f")
  name=${name#fuzz_}
  corpus="fuzz/corpus/$name"
  mkdir -p "$corpus" fuzz/regressions
  work=$(mktemp -d)
  echo "== fuzz $name for ${seconds}s${FUZZ_RUNS:+ or $FUZZ_RUNS runs}${FUZZ_SEED:+, seed $FUZZ_SEED}"
  if ! "$f" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 ${FUZZ_RUNS:+-runs=$FUZZ_RUNS} \
      ${FUZZ_SEED:+-seed=$FUZZ_SEED} \
      -artifact_prefix="$PWD/fuzz/regressions/$name-" "$work" "$corpus" >"$work.log" 2>&1; then
    tail -40 "$work.log"
    status=1
  fi
  tail -2 "$work.log"
  rm -rf "$work" "$work.log"
done
((found)) || echo "No fuzz targets built yet."
exit $status

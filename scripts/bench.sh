#!/usr/bin/env bash
# Runs every benchmark built in the given build folder, then each peer command of
# bench/peers.tsv on the same input, and prints a table: our time, the peer's time, the
# ratio and the target ratio.
set -euo pipefail
dir=${1:-build-bench}
root=$(cd "$(dirname "$0")/.." && pwd)
peers="$root/bench/peers.tsv"
runs=${PEER_RUNS:-10}
export QV_BENCH_DATA="$dir/bench-data"
mkdir -p "$QV_BENCH_DATA"
results=$(mktemp)
trap 'rm -f "$results"' EXIT

now_ns() { date +%s%N; }

found=0
for b in "$dir"/bench/bench_*; do
  [[ -x "$b" ]] || continue
  found=1
  program=$(basename "$b")
  csv="$QV_BENCH_DATA/$program.csv"
  "$b" --benchmark_format=csv >"$csv"
  # name,iterations,real_time,cpu_time,time_unit,...: real time per iteration in milliseconds
  awk -F, -v program="$program" 'NR > 1 && $3 != "" {
      name = $1; gsub(/"/, "", name)
      f = ($5 == "ns") ? 1e-6 : ($5 == "us") ? 1e-3 : ($5 == "s") ? 1e3 : 1
      printf "%s\t%s\t%.3f\n", program, name, $3 * f
    }' "$csv" >>"$results"
done
((found)) || { echo "No benchmarks built yet."; exit 0; }

printf '\n%-16s %-20s %10s  %-45s %10s %7s %8s\n' program benchmark "ours, ms" peer "peer, ms" ratio target
while IFS=$'\t' read -r program name ours; do
  peer_line=$(awk -F'\t' -v p="$program" -v n="$name" '$1 == p && $2 == n' "$peers" 2>/dev/null | head -1)
  if [[ -z "$peer_line" ]]; then
    printf '%-16s %-20s %10s  %-45s %10s %7s %8s\n' "$program" "$name" "$ours" - - - -
    continue
  fi
  command=$(cut -f3 <<<"$peer_line")
  target=$(cut -f4 <<<"$peer_line")
  command=${command//\{data\}/$QV_BENCH_DATA}
  bash -c "$command" >/dev/null 2>&1 || true  # warm the cache
  start=$(now_ns)
  for ((i = 0; i < runs; ++i)); do bash -c "$command" >/dev/null 2>&1 || true; done
  peer_ms=$(awk -v t=$(($(now_ns) - start)) -v r="$runs" 'BEGIN { printf "%.3f", t / r / 1e6 }')
  verdict=$(awk -v o="$ours" -v p="$peer_ms" -v t="$target" 'BEGIN {
      r = o / p; printf "%.2f %s", r, (r < t ? "ok" : "MISSED") }')
  printf '%-16s %-20s %10s  %-45s %10s %7s %8s %s\n' "$program" "$name" "$ours" "$(cut -f3 <<<"$peer_line")" \
    "$peer_ms" "${verdict% *}" "< $target" "${verdict#* }"
done <"$results"

# The command line, whole process, beside its peer tools (rows in bench/cli-rows.tsv).
if [[ -x "$dir/tools/vorlent/vorlent" ]]; then
  python3 "$root/scripts/bench-cli.py" "$dir/tools/vorlent/vorlent" "$QV_BENCH_DATA/cli"
fi

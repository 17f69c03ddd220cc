#!/usr/bin/env bash
# Runs the benchmarks and prints their figures against the targets.
set -euo pipefail
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== HEX load of the largest image (target < 5 ms)"
"$build/bench/bench_hex_load" --benchmark_min_time=0.5

if [ -x "$build/bench/bench_startup" ]; then
  echo "== window start-up with the largest image remembered (target < 300 ms)"
  "$build/bench/bench_startup" prepare "$work/startup"
  times=()
  for _ in 1 2 3 4 5; do times+=("$(QT_QPA_PLATFORM=offscreen "$build/bench/bench_startup" run "$work/startup")"); done
  echo "  runs (ms): ${times[*]}"
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "  median: %.1f ms\n", a[int((NR+1)/2)]}'
fi

echo "== hex --bin against objcopy on the largest image, CPU time (target: ours <= 0.45 x objcopy)"
"$build/bench/bench_hex_bin"

echo "== upload of 64 blocks with verification at 9600 baud"
"$build/bench/bench_upload"

echo "== field tools: verify and backup at 9600 baud (target <= 1.03 x wire), --skip-gaps (target <= 1.1 x data blocks)"
"$build/bench/bench_field"

echo "== a dropped call survived: 64 KiB through the modem at 9600 baud (targets: bytes <= 1.05 x + a page, wall <= 1.10 x + the redial)"
"$build/bench/bench_resume"

if [ -x "$build/bench/bench_line_window" ]; then
  echo "== the operator window: 16 fixtures against one (targets: <= 1.05 x, the window's CPU <= 2 % of a core, the event loop answering within 100 ms)"
  "$build/bench/bench_line_window"
fi

echo "== production line: 32 devices at once against one (targets: <= 1.05 x, cpu <= 1 % per device); the ledger (targets: <= 5 ms a run, stats over 100,000 runs <= 1 s)"
"$build/bench/bench_production"

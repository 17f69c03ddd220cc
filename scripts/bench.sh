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
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {printf "  runs (ms): %s\n  median: %.1f ms\n", "", a[int((NR+1)/2)]}'
fi

echo "== hex --bin against objcopy on the largest image (target: ours <= 0.5 x objcopy)"
"$build/bench/make_big_hex" "$work/big.hex"
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
run_times() {
  for _ in $(seq 15); do
    s=$(date +%s%N); "$@" >/dev/null; e=$(date +%s%N); echo $(( (e - s) / 1000 ))
  done
}
ours=$(run_times "$build/cli/quarnelix-dfu-cli" hex "$work/big.hex" --bin "$work/ours.bin" | median)
theirs=$(run_times objcopy -I ihex -O binary "$work/big.hex" "$work/theirs.bin" | median)
echo "  quarnelix-dfu-cli median ${ours} us, objcopy median ${theirs} us"
awk -v a="$ours" -v b="$theirs" 'BEGIN {printf "  ratio: %.2f\n", a / b}'

echo "== upload of 64 blocks with verification at 9600 baud"
"$build/bench/bench_upload"

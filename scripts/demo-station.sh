#!/usr/bin/env bash
# A production line on one machine: four simulated controllers listed as COM7 to COM10, one
# upload to all four at once with every block read back and a report, then each controller's
# memory compared with the image.
set -euo pipefail
build=${1:-build}
cli="$build/cli/quarnelix-dfu-cli"
sim="$build/devsim/quarnelix-devsim"
hex=examples/quarnelix_v3_demo.hex
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config"  # the demo's own ports folder

ports=()
for n in 7 8 9 10; do
  "$sim" --com "$n" --baud 115200 --dump "$work/com$n.bin" >"$work/com$n.out" 2>"$work/com$n.err" &
  pids+=($!)
  ports+=(--port "COM$n")
done
for n in 7 8 9 10; do
  for _ in $(seq 100); do [ -s "$work/com$n.out" ] && break; sleep 0.05; done
done

status=0
"$cli" upload "$hex" "${ports[@]}" --verify-all --report "$work/report.jsonl" --log-dir "$work/logs" || status=$?
for p in "${pids[@]}"; do kill -TERM "$p"; wait "$p" || true; done
pids=()

echo "report, first line:"
head -n 1 "$work/report.jsonl"
"$cli" hex "$hex" --bin "$work/image.bin" >/dev/null
start=$("$cli" hex "$hex" | sed -n 's/^ImageStart: 0x//p')
size=$(stat -c %s "$work/image.bin")
for n in 7 8 9 10; do
  if cmp -s <(tail -c +$((16#$start + 1)) "$work/com$n.bin" | head -c "$size") "$work/image.bin"; then
    echo "COM$n: memory equals the image"
  else
    echo "COM$n: memory DIFFERS from the image" >&2
    status=1
  fi
done
exit $status

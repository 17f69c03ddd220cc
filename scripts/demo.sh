#!/usr/bin/env bash
# The main job, end to end: a simulated controller on a fresh pty, the example firmware uploaded
# with verification through the command line, then the controller's memory compared with the image.
set -euo pipefail
build=${1:-build}
cli="$build/cli/quarnelix-dfu-cli"
sim="$build/devsim/quarnelix-devsim"
hex=examples/quarnelix_v3_demo.hex
work=$(mktemp -d)
trap 'kill $simpid 2>/dev/null || true; rm -rf "$work"' EXIT

"$cli" hex "$hex"
"$sim" --baud 19200 --dump "$work/device.bin" >"$work/sim.out" 2>"$work/sim.err" &
simpid=$!
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
device=$(head -n 1 "$work/sim.out")
echo "simulated controller on $device"

status=0
"$cli" upload "$hex" --port "$device" --verify || status=$?
kill -TERM "$simpid"
wait "$simpid" || true

"$cli" hex "$hex" --bin "$work/image.bin" >/dev/null
start=$("$cli" hex "$hex" | sed -n 's/^ImageStart: 0x//p')
size=$(stat -c %s "$work/image.bin")
if cmp -s <(tail -c +$((16#$start + 1)) "$work/device.bin" | head -c "$size") "$work/image.bin"; then
  echo "device memory equals the image ($size bytes from 0x$start)"
else
  echo "device memory DIFFERS from the image" >&2
  status=1
fi
exit $status

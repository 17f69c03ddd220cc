#!/usr/bin/env bash
# Opens the window against a simulated controller: the device is linked as a present port, and a
# settings file beside a copy of the window's executable remembers the example firmware and that
# port, so the window comes up ready for "Upload".
set -euo pipefail
build=${1:-build}
port=${GUI_DEMO_PORT:-7}
demo="$build/gui-demo"
mkdir -p "$demo"
cp "$build/app/quarnelix-dfu" "$demo/quarnelix-dfu"
cp examples/quarnelix_v3_demo.hex "$demo/"
"$build/devsim/quarnelix-devsim" --com "$port" --baud 19200 >"$demo/sim.out" 2>"$demo/sim.err" &
simpid=$!
trap 'kill $simpid 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$demo/sim.out" ] && break; sleep 0.05; done
echo "simulated controller on $(head -n 1 "$demo/sim.out"), listed as COM$port"
python3 - "$demo" "$(realpath "$demo/quarnelix_v3_demo.hex")" "$port" <<'PY'
import struct, sys
folder, hex_path, port = sys.argv[1], sys.argv[2].encode(), int(sys.argv[3])
# path (256, NUL-padded), PortNumber, VerifyAfterWrite, AutoPortSelect, ApplyLineSettings
record = hex_path[:255].ljust(256, b"\0") + struct.pack("<iBii", port, 1, 1, 1)
assert len(record) == 269
open(folder + "/CONFIG_DFU_dsPIC_Quarnelix_V3.BIN", "wb").write(record)
PY
"$demo/quarnelix-dfu"

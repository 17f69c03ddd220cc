#!/usr/bin/env bash
# A shift step of the real quarnelix-dfu-line.exe under Wine, on an X server of its own, driven by
# its keys as an operator drives it: a line profile of two fixtures (COM5 and COM6, each a Linux
# simulated controller) with an SQLite ledger and an operator required, written by the .exe's own
# `profile new`. F5 before anyone is scanned puts no byte on either line; then the operator typed
# and Enter, a WO: scan and Enter, F5. Checked afterwards: both controllers' memories equal the
# image, the ledger's two rows (read by the Linux command line) name the operator and the work
# order, and both tiles of the screenshot are PASS green.
#
# Usage: scripts/wine-line.sh BUILD APP_DIR SCREENSHOT
#   BUILD       the Linux build (its quarnelix-devsim and quarnelix-dfu-cli)
#   APP_DIR     the window's folder as the zip unpacks it
#   SCREENSHOT  the PNG to write
# Prints a line per check passed; exit status 0 when all passed, 1 otherwise (each failure said on
# standard error).
set -euo pipefail
build=$1 app=$2 shot=$3
here=$(cd "$(dirname "$0")/.." && pwd)
operator=Alice work_order=W-77
work=$(mktemp -d)
pids=() xvfb="" winapp=""
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export XDG_CONFIG_HOME="$work/config"
cleanup() {
  [ -n "$winapp" ] && kill "$winapp" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  if [ "${#pids[@]}" -gt 0 ]; then
    kill -TERM "${pids[@]}" 2>/dev/null || true
    wait "${pids[@]}" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() { echo "wine-line.sh: $*" >&2; failed=1; }

mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1
wineboot -i >/dev/null 2>&1
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts" "$XDG_CONFIG_HOME/quarnelix-dfu"
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
# The prefix's device folder is the simulated controllers' ports folder: their COM5 and COM6 are
# Wine's, and present ones as the SERIALCOMM key lists them.
ln -s "$WINEPREFIX/dosdevices" "$XDG_CONFIG_HOME/quarnelix-dfu/ports"
for n in 5 6; do
  "$build/devsim/quarnelix-devsim" --com "$n" --dump "$work/device$n.bin" --transcript "$work/wire$n" \
    >"$work/sim$n.out" 2>"$work/sim$n.err" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/sim$n.out" ] && break; sleep 0.05; done
  wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\Line$n" /t REG_SZ /d "COM$n" /f >/dev/null 2>&1
done

# The profile as the line's engineer writes it, with the .exe beside the window: absolute Windows
# paths to the firmware and the ledger.
cp "$here/examples/quarnelix_v3_demo.hex" "$work/fw.hex"
(cd "$work" && wine "$app/quarnelix-dfu-cli.exe" profile new --firmware fw.hex --port COM5 --port COM6 \
  --label Left --label Right --ledger line.sqlite --operator-required </dev/null >line.ini 2>profile.err) ||
  { cat "$work/profile.err" >&2; fail "profile new refused the line"; exit 1; }

display=:$((80 + RANDOM % 9))
Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 1
export DISPLAY=$display
# A window that has not appeared after a minute (Wine on a busy machine sometimes loses a program's
# first start on a fresh server) is started once more.
wid=""
for attempt in 1 2; do
  wine "$app/quarnelix-dfu-line.exe" --profile "$(winepath -w "$work/line.ini" 2>/dev/null)" >"$work/line.out" 2>&1 &
  winapp=$!
  wid=$(timeout 60 xdotool search --sync --name 'Quarnelix' 2>/dev/null | head -n 1 || true)
  [ -n "$wid" ] && break
  kill "$winapp" 2>/dev/null || true
  wait "$winapp" 2>/dev/null || true
  winapp=""
done
[ -n "$wid" ] || { cat "$work/line.out" >&2; fail "the line window did not open under Wine"; exit 1; }
sleep 3
xdotool windowfocus --sync "$wid" 2>/dev/null || true
keys() { xdotool key --window "$wid" --clearmodifiers "$@"; sleep 0.5; }
scan() { xdotool type --window "$wid" --delay 60 "$1"; sleep 0.3; keys Return; }

# F5 with no operator: nothing starts, no byte on either line.
keys F5
sleep 3
if [ ! -s "$work/wire5" ] && [ ! -s "$work/wire6" ]; then
  echo "line window under Wine: F5 before an operator is scanned starts nothing"
else
  fail "F5 before an operator was scanned put bytes on a line"
fi

scan "$operator"
scan "WO:$work_order"
keys F5
rows() { "$build/cli/quarnelix-dfu-cli" ledger show --ledger "$work/line.sqlite" --format jsonl 2>/dev/null || true; }
for _ in $(seq 120); do
  [ "$(rows | grep -c '"outcome"')" -ge 2 ] && break
  sleep 0.5
done
sleep 2  # the tiles painted with their results
import -window "$wid" "$shot"

kill "$winapp" 2>/dev/null || true
winapp=""
wineserver -k >/dev/null 2>&1 || true
kill -TERM "${pids[@]}" 2>/dev/null || true
wait "${pids[@]}" 2>/dev/null || true
pids=()

"$build/cli/quarnelix-dfu-cli" hex "$work/fw.hex" --bin "$work/image.bin" >/dev/null
start=$("$build/cli/quarnelix-dfu-cli" hex "$work/fw.hex" | sed -n 's/^ImageStart: 0x//p')
for n in 5 6; do
  if cmp -s <(tail -c +$((16#$start + 1)) "$work/device$n.bin" | head -c "$(stat -c %s "$work/image.bin")") "$work/image.bin"; then
    echo "line window under Wine: COM$n's memory equals the image"
  else
    fail "COM$n's memory differs from the image"
  fi
done

rows >"$work/rows.jsonl"
if python3 - "$work/rows.jsonl" "$operator" "$work_order" <<'PY'; then
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
ok = sorted(r.get("port") for r in rows) == ["COM5", "COM6"] and all(
    r.get("operator") == sys.argv[2] and r.get("work_order") == sys.argv[3] and r.get("outcome") == "completed" for r in rows)
sys.exit(0 if ok else 1)
PY
  echo "line window under Wine: the ledger's two runs completed, by $operator, for $work_order"
else
  cat "$work/rows.jsonl" >&2
  fail "the ledger's rows are not two completed runs of COM5 and COM6 by $operator for $work_order"
fi

# The tiles fill the window below its top bar, side by side: in the lower middle band of each half
# of the window, most pixels are the PASS green (#2e7d32).
shares=$(python3 - "$shot" <<'PY'
import subprocess, sys
ppm = subprocess.run(["convert", sys.argv[1], "ppm:-"], check=True, capture_output=True).stdout
# P6 header: magic, width, height, maximum, each ended by a blank
fields, at = [], 0
while len(fields) < 4:
    while ppm[at:at + 1].isspace(): at += 1
    end = at
    while not ppm[end:end + 1].isspace(): end += 1
    fields.append(ppm[at:end]); at = end
width, height, pixels = int(fields[1]), int(fields[2]), ppm[at + 1:]
def pass_green(x, y):
    r, g, b = pixels[(y * width + x) * 3:(y * width + x) * 3 + 3]
    return abs(r - 0x2E) < 24 and abs(g - 0x7D) < 24 and abs(b - 0x32) < 24
for half in (0, 1):
    x0 = half * width // 2
    sample = [(x, y) for y in range(height * 45 // 100, height * 80 // 100, 3)
              for x in range(x0 + width // 10, x0 + width * 4 // 10, 3)]
    print(round(100 * sum(pass_green(x, y) for x, y in sample) / len(sample)))
PY
)
if [ "$(echo $shares | awk '{ print ($1 > 50 && $2 > 50) }')" = 1 ]; then
  echo "line window under Wine: both tiles PASS green in the screenshot"
else
  fail "the tiles of the screenshot are not both PASS green (their shares of green: $(echo $shares) %)"
fi
exit "$failed"

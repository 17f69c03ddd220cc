#!/usr/bin/env bash
# The real quarnelix-dfu.exe under Wine, on an X server of its own, used as a user uses it: the
# example firmware and COM5 remembered in the settings file beside the program, the Linux simulated
# controller on COM5, and a click on "Upload". Then a screenshot of the window.
#
# Usage: scripts/wine-window.sh BUILD APP_DIR SCREENSHOT [MEMORY]
#   BUILD       the Linux build (its quarnelix-devsim)
#   APP_DIR     the window's folder as the zip unpacks it
#   SCREENSHOT  the PNG to write
#   MEMORY      where the controller's memory goes after the run (default: not kept)
# Exit status 0 when the window opened and the screenshot was taken.
set -euo pipefail
build=$1 app=$2 shot=$3 memory=${4:-}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
simpid="" xvfb="" winapp=""
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export XDG_CONFIG_HOME="$work/config"
cleanup() {
  [ -n "$winapp" ] && kill "$winapp" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  if [ -n "$simpid" ]; then
    kill -TERM "$simpid" 2>/dev/null || true
    wait "$simpid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1
wineboot -i >/dev/null 2>&1
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts" "$XDG_CONFIG_HOME/quarnelix-dfu"
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
# The prefix's device folder is the simulated controller's ports folder: its COM5 is Wine's.
ln -s "$WINEPREFIX/dosdevices" "$XDG_CONFIG_HOME/quarnelix-dfu/ports"
"$build/devsim/quarnelix-devsim" --com 5 --dump "$work/device.bin" >"$work/sim.out" 2>"$work/sim.err" &
simpid=$!
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Serial4' /t REG_SZ /d COM5 /f >/dev/null 2>&1
# The settings file as the window leaves it: the example remembered, COM5 from the full list.
python3 - "$app/CONFIG_DFU_dsPIC_Quarnelix_V3.BIN" "Z:$(realpath "$here/examples/quarnelix_v3_demo.hex" | tr / '\\')" <<'PY'
import struct, sys
path = sys.argv[2].encode()
with open(sys.argv[1], "wb") as f:
    f.write(path.ljust(256, b"\0") + struct.pack("<iBii", 5, 0, 0, 1))
PY
display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 1366x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 1
DISPLAY=$display wine "$app/quarnelix-dfu.exe" >/dev/null 2>&1 &
winapp=$!
wid=$(DISPLAY=$display timeout 60 xdotool search --sync --name 'DFU dsPIC Quarnelix' 2>/dev/null | head -n 1 || true)
if [ -z "$wid" ]; then
  echo "wine-window.sh: the window did not open under Wine" >&2
  exit 1
fi
sleep 3
eval "$(DISPLAY=$display xdotool getwindowgeometry --shell "$wid")"
# The client area is 966 pixels wide; what the X window has more is the frame Wine draws.
border=$(( (WIDTH - 966) / 2 ))
DISPLAY=$display xdotool mousemove --window "$wid" $((border + 848)) $((HEIGHT - border - 556 + 477)) click 1
sleep 6
DISPLAY=$display import -window "$wid" "$shot"
kill "$winapp" 2>/dev/null || true
winapp=""
wineserver -k >/dev/null 2>&1 || true
kill -TERM "$simpid" 2>/dev/null || true
wait "$simpid" 2>/dev/null || true
simpid=""
[ -z "$memory" ] || cp "$work/device.bin" "$memory"

#!/usr/bin/env bash
# The Windows build under Wine: every test program (its own summary line is what counts, not
# Wine's exit status), then quarnelix-dfu-cli.exe against the Linux simulated controller, whose
# pty is COM5 through a link in the prefix's dosdevices folder and a SERIALCOMM value. Each run's
# standard output, exit status and the controller's memory afterwards must equal the Linux build's.
# The tests' own simulated controllers are Linux processes too, started through Wine.
set -euo pipefail
winbuild=${1:-build-windows}
build=${2:-build}
exe="$winbuild/cli/quarnelix-dfu-cli.exe"
cli="$build/cli/quarnelix-dfu-cli"
sim="$build/devsim/quarnelix-devsim"
hex=examples/quarnelix_v3_demo.hex
work=$(mktemp -d)
simpid=""
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# The server first, its output away from ours: a capture of a program's standard error could
# otherwise wait for the server to let go of it.
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1
wineboot -i >/dev/null 2>&1

# The prefix's device folder is the simulated controller's ports folder: its --com N link is then
# Wine's COMn. The test programs start the Linux quarnelix-devsim themselves (Wine runs host
# programs) and work in $work.
export XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME/quarnelix-dfu"
ln -s "$WINEPREFIX/dosdevices" "$XDG_CONFIG_HOME/quarnelix-dfu/ports"
export QDFU_WINE_DEVSIM
QDFU_WINE_DEVSIM=$(realpath "$sim")
export QDFU_WINE_WORK="$work"

failed=0
fail() { echo "FAILED: $*" >&2; failed=$((failed + 1)); }

# suite PROGRAM: a test program judged by its own summary line.
suite() {
  local out summary name
  name=$(basename "$1")
  # Into a file, not a pipe: a Wine process the program started (explorer.exe /desktop for a
  # window) may outlive it and would hold a pipe open; and bounded, for a program whose threads
  # outlive its summary under Wine.
  timeout -k 10 1200 wine "$1" >"$work/suite.out" 2>&1 </dev/null || true
  out=$(cat "$work/suite.out")
  summary=$(printf '%s\n' "$out" | grep -E '^\[  PASSED  \] [0-9]+ tests?\.' || true)
  if [ -n "$summary" ] && ! printf '%s\n' "$out" | grep -q '^\[  FAILED  \]'; then
    echo "$name under Wine: ${summary#\[  PASSED  \] }"
  else
    printf '%s\n' "$out" | grep -v '^quarnelix-devsim: ' | tail -n 40 >&2
    fail "$name"
  fi
}
for t in test_image test_settings test_protocol test_upload test_win32; do
  suite "$winbuild/tests/$t.exe"
done

# One simulated controller per run, listed as COM5 on both sides.
start_device() {
  "$sim" --com 5 --dump "$work/device.bin" "$@" >"$work/sim.out" 2>"$work/sim.err" &
  simpid=$!
  for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
  wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Serial4' /t REG_SZ /d COM5 /f >/dev/null 2>&1
}
stop_device() {
  kill -TERM "$simpid" 2>/dev/null || true
  wait "$simpid" 2>/dev/null || true
  simpid=""
}
# run NAME PROGRAM ARGS...: output, status and memory into $work/NAME.*
run() {
  local name=$1 program=$2
  shift 2
  local status=0
  if [ "$program" = exe ]; then
    wine "$exe" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null || status=$?
  else
    "$cli" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null || status=$?
  fi
  echo "$status" >"$work/$name.status"
}
same() {
  local what=$1
  if cmp -s "$work/$what.linux.out" "$work/$what.windows.out" &&
     cmp -s "$work/$what.linux.status" "$work/$what.windows.status"; then
    return 0
  fi
  diff "$work/$what.linux.out" "$work/$what.windows.out" >&2 || true
  fail "$what: the .exe's output or status differs from the Linux build's"
  return 1
}

run hex.linux cli hex "$hex" --dump
run hex.windows exe hex "$hex" --dump
same hex && echo "hex --dump: identical"

start_device
run ports.windows exe ports
stop_device
if grep -q '^COM5	' "$work/ports.windows.out"; then echo "ports: COM5 listed"; else fail "ports: COM5 missing"; fi

# A firmware with gaps: a page without data between two that hold some.
python3 - "$work/gaps.hex" <<'PY'
import sys
def rec(addr, data, kind=0):
    body = bytes([len(data), addr >> 8 & 0xFF, addr & 0xFF, kind]) + bytes(data)
    return ":" + (body + bytes([-sum(body) & 0xFF])).hex().upper() + "\r\n"
with open(sys.argv[1], "w", newline="") as f:
    f.write(rec(0x2800, [(i * 7 + 1) & 0xFF for i in range(32)]) + rec(0x3810, [0x55] * 8) + ":00000001FF\r\n")
PY

# name, device faults, file, upload options
cases=(
  "upload|--|$hex|--timeout 500"
  "verify|--|$hex|--verify --timeout 500"
  "silent|--silent|$hex|--timeout 100"
  "refused|--nak-command 162|$hex|--timeout 300"
  "skip-gaps|--old-firmware|$work/gaps.hex|--skip-gaps --verify-all --timeout 500"
)
for c in "${cases[@]}"; do
  IFS='|' read -r name faults file options <<<"$c"
  [ "$faults" = "--" ] && faults=""
  for side in linux windows; do
    # shellcheck disable=SC2086
    start_device $faults
    if [ "$side" = linux ]; then
      # shellcheck disable=SC2086
      run "$name.linux" cli upload "$file" --port COM5 $options
    else
      # shellcheck disable=SC2086
      run "$name.windows" exe upload "$file" --port COM5 $options
    fi
    stop_device
    cp "$work/device.bin" "$work/$name.$side.bin"
  done
  if same "$name" && cmp -s "$work/$name.linux.bin" "$work/$name.windows.bin"; then
    echo "upload $name: identical log, status $(cat "$work/$name.windows.status") and device memory"
  else
    cmp -s "$work/$name.linux.bin" "$work/$name.windows.bin" || fail "upload $name: device memory differs"
  fi
done

# The single commands, the field tools and a modem call, each against a device of its own on both
# sides. The backup goes to a file of the same relative name on both sides, kept apart after each.
singles=(
  "write|write 2800 12 34 --port COM5"
  "read|read 2800 10 --port COM5"
  "erase|erase 2800 --port COM5"
  "reset|reset --port COM5"
  "verify-command|verify $hex --port COM5 --timeout 500"
  "backup|backup backup.hex --port COM5 --from 2800 --to 3000 --timeout 500"
)
for c in "${singles[@]}"; do
  IFS='|' read -r name command <<<"$c"
  for side in linux windows; do
    start_device
    # shellcheck disable=SC2086
    run "$name.$side" "$([ "$side" = linux ] && echo cli || echo exe)" $command
    stop_device
    if [ -f backup.hex ]; then mv backup.hex "$work/backup.$side.hex"; fi
  done
  same "$name" && echo "$name: identical output and status"
done
if cmp -s "$work/backup.linux.hex" "$work/backup.windows.hex"; then
  echo "backup: identical HEX files"
else
  fail "backup: the HEX files differ"
fi

# A port over TCP: the simulated controller as a serial device server on loopback.
for side in linux windows; do
  "$sim" --tcp 47231 --dump "$work/device.bin" >"$work/sim.out" 2>"$work/sim.err" &
  simpid=$!
  for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
  run "tcp.$side" "$([ "$side" = linux ] && echo cli || echo exe)" upload "$hex" --port tcp://127.0.0.1:47231 --verify --timeout 500
  stop_device
  cp "$work/device.bin" "$work/tcp.$side.bin"
done
if same tcp && cmp -s "$work/tcp.linux.bin" "$work/tcp.windows.bin"; then
  echo "upload over TCP: identical log, status $(cat "$work/tcp.windows.status") and device memory"
else
  cmp -s "$work/tcp.linux.bin" "$work/tcp.windows.bin" || fail "upload over TCP: device memory differs"
fi
for side in linux windows; do
  start_device --gsm
  run "gsm.$side" "$([ "$side" = linux ] && echo cli || echo exe)" upload "$hex" --port COM5 --gsm 3351234567 --timeout 500
  stop_device
  cp "$work/device.bin" "$work/gsm.$side.bin"
done
if same gsm && cmp -s "$work/gsm.linux.bin" "$work/gsm.windows.bin"; then
  echo "upload through the modem: identical log, status $(cat "$work/gsm.windows.status") and device memory"
fi

# Several ports at once, the .exe against the Linux build on COM5 to COM8 (a device that completes,
# a silent one, one that refuses writes, one that completes): the same report lines (less times
# and paths), exit status and memories.
line_faults=("" "--silent" "--nak-command 162" "")
for side in linux windows; do
  pids=()
  for i in 0 1 2 3; do
    n=$((5 + i))
    # shellcheck disable=SC2086
    "$sim" --com "$n" --dump "$work/line$n.bin" ${line_faults[$i]} >"$work/line$n.out" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$work/line$n.out" ] && break; sleep 0.05; done
    wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\Line$n" /t REG_SZ /d "COM$n" /f >/dev/null 2>&1
  done
  run "line.$side" "$([ "$side" = linux ] && echo cli || echo exe)" upload "$hex" --port COM5 --port COM6 --port COM7 \
    --port COM8 --verify-all --timeout 300 --report "$work/line.$side.jsonl"
  kill -TERM "${pids[@]}" 2>/dev/null || true
  wait "${pids[@]}" 2>/dev/null || true
  for n in 5 6 7 8; do cp "$work/line$n.bin" "$work/line$n.$side.bin"; done
done
report_core() {
  python3 - "$1" <<'PY'
import json, sys
keep = ("port", "hex_sha256", "outcome", "outcome_text", "exit_status", "blocks", "bytes_on_line", "exchanges",
        "communication_errors", "last_serial_error", "verification", "reason")
lines = [json.loads(l) for l in open(sys.argv[1])]
for l in sorted(lines, key=lambda l: l["port"]):
    print(json.dumps({k: l[k] for k in keep}))
PY
}
line_ok=1
cmp -s "$work/line.linux.status" "$work/line.windows.status" || { line_ok=0; fail "several ports: the exit status differs"; }
if ! diff <(report_core "$work/line.linux.jsonl") <(report_core "$work/line.windows.jsonl") >&2; then
  line_ok=0
  fail "several ports: the report lines differ"
fi
for n in 5 6 7 8; do
  cmp -s "$work/line$n.linux.bin" "$work/line$n.windows.bin" || { line_ok=0; fail "several ports: COM$n's memory differs"; }
done
[ "$line_ok" -eq 1 ] && echo "several ports: identical report lines, status $(cat "$work/line.windows.status") and memories"

# The ledger: serial numbers from an SQLite file on each side (two devices at once, each given its
# own serial in its memory, the ledger's next one after them), then from a PostgreSQL server that
# the Linux build reads back what the .exe recorded.
serials_ok() {  # REPORT FIRST: the report's serials are FIRST and FIRST+1, each in its device's memory
  python3 - "$@" "$work" <<'PY'
import json, struct, sys
report, first, work = sys.argv[1], int(sys.argv[2]), sys.argv[3]
lines = [json.loads(l) for l in open(report)]
ok = sorted(l.get("serial", -1) for l in lines) == list(range(first, first + len(lines)))
for l in lines:
    memory = open(f"{work}/ledger{l['port'][3:]}.bin", "rb").read()
    ok = ok and l["outcome"] == "completed" and memory[0x2804:0x2808] == struct.pack("<I", l["serial"])
sys.exit(0 if ok else 1)
PY
}
for side in linux windows; do
  pids=()
  for n in 5 6; do
    "$sim" --com "$n" --dump "$work/ledger$n.bin" >"$work/ledger$n.out" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$work/ledger$n.out" ] && break; sleep 0.05; done
  done
  program=$([ "$side" = linux ] && echo cli || echo exe)
  run "ledger.$side" "$program" upload "$hex" --port COM5 --port COM6 --timeout 300 --ledger "ledger-$side.sqlite" \
    --serial-at 2804 --serial-first 1000 --report "$work/ledger.$side.jsonl"
  kill -TERM "${pids[@]}" 2>/dev/null || true
  wait "${pids[@]}" 2>/dev/null || true
  run "ledger-next.$side" "$program" ledger next --ledger "ledger-$side.sqlite"
  mv "ledger-$side.sqlite"* "$work/"  # with its WAL files, which the checkout never keeps
  if [ "$(cat "$work/ledger.$side.status")" = 0 ] && serials_ok "$work/ledger.$side.jsonl" 1000 &&
     [ "$(tr -d '\r' <"$work/ledger-next.$side.out")" = 1002 ]; then
    echo "serials from an SQLite ledger ($side): 1000 and 1001 in the two devices' memories, 1002 next"
  else
    cat "$work/ledger.$side.err" >&2
    fail "serials from an SQLite ledger ($side)"
  fi
done
pg_port=$((54000 + RANDOM % 1000))
chmod 755 "$work"  # the database server's own user must reach its folder
pg_uri=$(scripts/pg-test-server.sh start "$work/pg" "$pg_port") || fail "the PostgreSQL server of the tests did not start"
"$sim" --com 5 --dump "$work/ledger5.bin" >"$work/ledger5.out" 2>/dev/null &
simpid=$!
for _ in $(seq 100); do [ -s "$work/ledger5.out" ] && break; sleep 0.05; done
run ledger-pg exe upload "$hex" --port COM5 --timeout 300 --ledger "$pg_uri" --serial-at 2804 --serial-first 5000 \
  --operator wine --report "$work/ledger-pg.jsonl"
stop_device
run ledger-pg-show cli ledger show --ledger "$pg_uri" --serial 5000
if serials_ok "$work/ledger-pg.jsonl" 5000 &&
   python3 -c 'import json,sys; r=[json.loads(l) for l in open(sys.argv[1])]; sys.exit(not (len(r) == 1 and r[0]["operator"] == "wine" and r[0]["outcome"] == "completed"))' \
     "$work/ledger-pg-show.out"; then
  echo "serials from a PostgreSQL ledger: the .exe gave 5000 to the device, the Linux build reads its run back"
else
  cat "$work/ledger-pg.err" "$work/ledger-pg-show.err" >&2
  fail "serials from a PostgreSQL ledger"
fi
# A run whose row the server cannot take (stopped while the .exe uploads) is kept aside in the
# state folder (%LOCALAPPDATA%) and recorded by the next command that opens the ledger.
"$sim" --com 5 --delay 20 >"$work/kept5.out" 2>/dev/null &
simpid=$!
for _ in $(seq 100); do [ -s "$work/kept5.out" ] && break; sleep 0.05; done
( st=0; wine "$exe" upload "$hex" --port COM5 --timeout 300 --ledger "$pg_uri" --serial-at 2804 --work-order WO-W \
    >"$work/kept.out" 2>"$work/kept.err" </dev/null || st=$?; echo "$st" >"$work/kept.status" ) &
keptpid=$!
for _ in $(seq 200); do
  [ "$(psql -Atq "$pg_uri" -c "SELECT count(*) FROM serials WHERE state = 'spent'" 2>/dev/null)" = 2 ] && break
  sleep 0.05
done
scripts/pg-test-server.sh stop "$work/pg"
wait "$keptpid" || true
stop_device
scripts/pg-test-server.sh start "$work/pg" "$pg_port" >/dev/null || fail "the PostgreSQL server of the tests did not start again"
run kept-show exe ledger show --ledger "$pg_uri" --serial 5001
if [ "$(cat "$work/kept.status")" = 74 ] && grep -q "kept aside" "$work/kept.err" &&
   grep -q "1 run kept aside" "$work/kept-show.err" && grep -q '"work_order":"WO-W"' "$work/kept-show.out"; then
  echo "a run the server could not take: kept aside by the .exe (exit 74) and recorded by its next ledger show"
else
  cat "$work/kept.err" "$work/kept-show.err" >&2
  fail "a run kept aside on Windows"
fi
scripts/pg-test-server.sh stop "$work/pg"
# A ledger written before its tables carried a version: read as it is by the .exe, and brought to
# this version by its first run, its runs and serial sequence kept.
python3 - "$work/old.sqlite" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.executescript("""
CREATE TABLE sequence (id INTEGER PRIMARY KEY CHECK (id = 1), next INTEGER NOT NULL);
CREATE TABLE serials (serial INTEGER PRIMARY KEY, state TEXT NOT NULL CHECK (state IN ('reserved', 'spent', 'returned')));
CREATE TABLE runs (id INTEGER PRIMARY KEY AUTOINCREMENT, serial INTEGER, port TEXT, device TEXT, by_id TEXT, station TEXT,
  operator TEXT, hex_path TEXT, hex_sha256 TEXT, outcome TEXT, reason TEXT, blocks INTEGER, retries INTEGER, start TEXT, "end" TEXT);
INSERT INTO sequence VALUES (1, 43);
INSERT INTO serials VALUES (42, 'spent');
INSERT INTO runs (serial, outcome, start) VALUES (42, 'completed', '2026-12-01T08:00:00Z');
""")
db.commit()
PY
cp "$work/old.sqlite" old.sqlite
run old-next exe ledger next --ledger old.sqlite
"$sim" --com 5 --dump "$work/ledger5.bin" >"$work/ledger5.out" 2>/dev/null &
simpid=$!
for _ in $(seq 100); do [ -s "$work/ledger5.out" ] && break; sleep 0.05; done
run old-upload exe upload "$hex" --port COM5 --timeout 300 --ledger old.sqlite --serial-at 2804 --work-order WO-7 \
  --report "$work/old-upload.jsonl"
stop_device
mv old.sqlite "$work/old-after.sqlite"
for wal in -wal -shm; do  # and its WAL files, which the checkout never keeps
  if [ -e "old.sqlite$wal" ]; then mv "old.sqlite$wal" "$work/old-after.sqlite$wal"; fi
done
run old-show cli ledger show --ledger "$work/old-after.sqlite"
if [ "$(tr -d '\r' <"$work/old-next.out")" = 43 ] && [ "$(cat "$work/old-upload.status")" = 0 ] &&
   serials_ok "$work/old-upload.jsonl" 43 &&
   python3 -c 'import json,sys; r=[json.loads(l) for l in open(sys.argv[1])]; sys.exit(not ([x["serial"] for x in r] == [42, 43] and r[1]["work_order"] == "WO-7"))' \
     "$work/old-show.out"; then
  echo "a ledger of the first version: read by the .exe, brought to this version by its run, its runs and sequence kept"
else
  cat "$work/old-next.err" "$work/old-upload.err" "$work/old-show.err" >&2
  fail "a ledger of the first version on Windows"
fi

# Children tied to their parent: a parent killed outright leaves no upload running on; each one
# stops as at Ctrl-C, with the CPU reset.
pids=()
for n in 5 6; do
  "$sim" --com "$n" --delay 40 >"$work/orphan$n.out" 2>"$work/orphan$n.err" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/orphan$n.out" ] && break; sleep 0.05; done
done
wine "$exe" upload "$hex" --port COM5 --port COM6 --timeout 300 </dev/null >/dev/null 2>&1 &
sleep 3
kill -KILL "$(pgrep -f "quarnelix-dfu-cli.exe upload" | head -n 1)" 2>/dev/null || true
sleep 3
kill -TERM "${pids[@]}" 2>/dev/null || true
wait "${pids[@]}" 2>/dev/null || true
if grep -q ', 1 resets' "$work/orphan5.err" && grep -q ', 1 resets' "$work/orphan6.err"; then
  echo "parent killed: each upload stopped with the CPU reset"
else
  fail "parent killed: the uploads did not stop with the CPU reset"
fi

# Station mode: a port that appears in SERIALCOMM while the station runs is flashed, and again
# after it went and came back; the report says so as each upload ends.
wine "$exe" station "$hex" --report "$work/station.jsonl" --timeout 300 </dev/null >"$work/station.out" 2>&1 &
station=$!
sleep 2
"$sim" --com 9 --dump "$work/station.bin" >"$work/station-sim.out" 2>"$work/station-sim.err" &
simpid=$!
for _ in $(seq 100); do [ -s "$work/station-sim.out" ] && break; sleep 0.05; done
serialcomm() { wine reg "$1" 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Station' "${@:2}" /f >/dev/null 2>&1; }
serialcomm add /t REG_SZ /d COM9
sleep 3
serialcomm delete
sleep 1.5
serialcomm add /t REG_SZ /d COM9
sleep 3
kill -INT "$(pgrep -f "quarnelix-dfu-cli.exe station" | head -n 1)" 2>/dev/null || true
wait "$station" 2>/dev/null || true
serialcomm delete
stop_device
station_lines=$(python3 -c 'import json,sys; print(" ".join(json.loads(l)["port"] + ":" + json.loads(l)["outcome"] for l in open(sys.argv[1])))' "$work/station.jsonl" 2>/dev/null || true)
if [ "$station_lines" = "COM9:completed COM9:completed" ] && grep -q ', 2 resets' "$work/station-sim.err" &&
   cmp -s <(head -c $((0x3400)) "$work/station.bin") <(head -c $((0x3400)) "$work/upload.linux.bin"); then
  echo "station: COM9 flashed when it appeared and again when it came back"
else
  cat "$work/station.out" >&2
  fail "station: expected two completed uploads of COM9, got '$station_lines'"
fi

# The window: its tests, then the real quarnelix-dfu.exe from the zip, on an X server of its own,
# clicked as a user clicks "Upload" with the example firmware and COM5 remembered; the line's
# operator window through a shift step; then the installer.
if [ -f "$winbuild/app/quarnelix-dfu.exe" ]; then
  version=$(sed -n 's/^project(quarnelix-dfu VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  unzip -q "dist/quarnelix-dfu-$version-win64.zip" -d "$work/win"
  app="$work/win/quarnelix-dfu-$version-win64"
  # The window's own tests, offscreen, beside the DLLs and plugins the window ships with, and the
  # test library of the Qt it was built with.
  qt=$(sed -n 's|^Qt6_DIR:PATH=\(.*\)/lib/cmake/Qt6$|\1|p' "$winbuild/CMakeCache.txt")
  cp -r "$app" "$work/window-tests"
  cp "$winbuild/tests/test_window.exe" "$qt/bin/Qt6Test.dll" "$work/window-tests/"
  suite "$work/window-tests/test_window.exe"
  # The real window, clicked as a user clicks "Upload" (scripts/wine-window.sh, in a Wine prefix of
  # its own).
  if scripts/wine-window.sh "$build" "$app" "$winbuild/quarnelix-dfu-wine.png" "$work/window.bin"; then
    echo "window under Wine: screenshot in $winbuild/quarnelix-dfu-wine.png"
    if cmp -s "$work/window.bin" "$work/upload.linux.bin"; then
      echo "window under Wine: a click on Upload left the controller's memory equal to the image"
    else
      fail "window under Wine: the controller's memory after the click differs from the Linux upload's"
    fi
    if [ "$(stat -c %s "$app/CONFIG_DFU_dsPIC_Quarnelix_V3.BIN")" -eq 269 ]; then
      echo "window under Wine: the settings file beside the executable"
    else
      fail "window under Wine: no settings file beside the executable"
    fi
  else
    fail "the window did not open under Wine"
  fi
  # The line's operator window, driven by its keys through a shift step against two simulated
  # controllers (scripts/wine-line.sh, in a Wine prefix of its own).
  if scripts/wine-line.sh "$build" "$app" "$winbuild/quarnelix-dfu-line-wine.png"; then
    echo "line window under Wine: screenshot in $winbuild/quarnelix-dfu-line-wine.png"
  else
    fail "the line window's shift step under Wine"
  fi

  # The installer: silent install, the installed programs, silent uninstall, nothing left.
  installed="$WINEPREFIX/drive_c/Program Files/quarnelix-dfu"
  key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\quarnelix-dfu'
  wine "dist/quarnelix-dfu-$version-win64-setup.exe" /S </dev/null >/dev/null 2>&1 || true
  if [ -f "$installed/quarnelix-dfu.exe" ] && wine reg query "$key" >/dev/null 2>&1; then
    echo "installer: installed, listed among the installed programs"
  else
    fail "installer: the silent install did not install"
  fi
  menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
  for shortcut in quarnelix-dfu quarnelix-dfu-line; do
    [ -f "$menu/$shortcut.lnk" ] || fail "installer: no Start-menu shortcut $shortcut.lnk"
  done
  if [ "$(wine "$installed/quarnelix-dfu-cli.exe" --version 2>/dev/null </dev/null | tr -d '\r')" = "quarnelix-dfu-cli $version" ]; then
    echo "installer: the installed command line runs"
  else
    fail "installer: the installed command line does not run"
  fi
  status=0
  timeout 5 wine "$installed/quarnelix-dfu.exe" -platform offscreen </dev/null >/dev/null 2>&1 || status=$?
  if [ "$status" -eq 124 ]; then echo "installer: the installed window runs"; else fail "installer: the installed window ended with $status"; fi
  status=0
  timeout 5 wine "$installed/quarnelix-dfu-line.exe" -platform offscreen </dev/null >/dev/null 2>&1 || status=$?
  if [ "$status" -eq 124 ]; then echo "installer: the installed line window runs"; else fail "installer: the installed line window ended with $status"; fi
  wineserver -k >/dev/null 2>&1 || true
  wine "$installed/uninstall.exe" /S </dev/null >/dev/null 2>&1 || true
  for _ in $(seq 100); do [ -e "$installed" ] || break; sleep 0.2; done
  if [ ! -e "$installed" ] && ! wine reg query "$key" >/dev/null 2>&1 &&
     [ ! -e "$menu/quarnelix-dfu.lnk" ] && [ ! -e "$menu/quarnelix-dfu-line.lnk" ]; then
    echo "installer: the silent uninstall left no file and no registry entry"
  else
    fail "installer: something was left after the uninstall"
  fi
fi

if [ "$failed" -ne 0 ]; then
  echo "Windows build under Wine: $failed check(s) failed" >&2
  exit 1
fi
echo "Windows build under Wine: all checks passed"

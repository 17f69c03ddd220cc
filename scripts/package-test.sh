#!/usr/bin/env bash
# The Debian package as a user gets it: lintian finds no error or warning, apt-get installs it,
# the installed programs run (the command line's version, an upload from the installed command
# line to the installed simulated controller with the memory compared, each window started on the
# offscreen platform and closed again, the line window's version and options, the desktop entries
# and the man pages checked), and removing it leaves none of its files behind.
set -euo pipefail
version=$(sed -n 's/^project(quarnelix-dfu VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="dist/quarnelix-dfu_${version}_amd64.deb"
hex=examples/quarnelix_v3_demo.hex
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
work=$(mktemp -d)
simpid=""
trap '[ -n "$simpid" ] && kill "$simpid" 2>/dev/null; rm -rf "$work"' EXIT

lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || { echo "lintian: errors or warnings" >&2; exit 1; }
echo "lintian: no errors, no warnings"

"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >/dev/null
dpkg -L quarnelix-dfu | while read -r f; do [ -d "$f" ] || echo "$f"; done >"$work/files"
echo "installed: $(wc -l <"$work/files") files"

[ "$(/usr/bin/quarnelix-dfu-cli --version)" = "quarnelix-dfu-cli $version" ] || { echo "version differs" >&2; exit 1; }
echo "quarnelix-dfu-cli --version: $version"

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
mkdir -p "$HOME"
/usr/bin/quarnelix-devsim --dump "$work/device.bin" >"$work/sim.out" 2>/dev/null &
simpid=$!
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
/usr/bin/quarnelix-dfu-cli upload "$hex" --port "$(head -n 1 "$work/sim.out")" --verify \
  --ledger "$work/ledger.sqlite" >/dev/null
kill -TERM "$simpid"; wait "$simpid" || true; simpid=""
/usr/bin/quarnelix-dfu-cli hex "$hex" --bin "$work/image.bin" >/dev/null
start=$(/usr/bin/quarnelix-dfu-cli hex "$hex" | sed -n 's/^ImageStart: 0x//p')
cmp <(tail -c +$((16#$start + 1)) "$work/device.bin" | head -c "$(stat -c %s "$work/image.bin")") "$work/image.bin"
echo "installed upload: the controller's memory equals the image"
/usr/bin/quarnelix-dfu-cli ledger next --ledger "$work/ledger.sqlite" | grep -qx 1 || { echo "ledger: no SQLite" >&2; exit 1; }
/usr/bin/quarnelix-dfu-cli ledger show --ledger "$work/ledger.sqlite" | grep -q '"outcome":"completed"' ||
  { echo "ledger: the upload's run is not recorded" >&2; exit 1; }
echo "installed ledger: an SQLite ledger records the upload's run"
bash -c '. /usr/share/bash-completion/completions/quarnelix-dfu-cli && COMP_WORDS=(quarnelix-dfu-cli upl) COMP_CWORD=1 &&
         _quarnelix_dfu_cli && [ "${COMPREPLY[*]}" = upload ]' || { echo "bash completion: broken" >&2; exit 1; }
echo "installed bash completion: completes the commands"

status=0
QT_QPA_PLATFORM=offscreen timeout -s TERM 3 /usr/bin/quarnelix-dfu >"$work/window.out" 2>&1 || status=$?
[ "$status" -eq 124 ] || { cat "$work/window.out" >&2; echo "the window ended with $status" >&2; exit 1; }
echo "installed window: started and closed again"

# The line's operator window: its version and options, then started on a profile of the installed
# command line's making, running until it is closed.
line_version=$(QT_QPA_PLATFORM=offscreen /usr/bin/quarnelix-dfu-line --version 2>/dev/null)
[ "$line_version" = "quarnelix-dfu-line $version" ] || { echo "quarnelix-dfu-line --version: $line_version" >&2; exit 1; }
QT_QPA_PLATFORM=offscreen /usr/bin/quarnelix-dfu-line --help >"$work/line-help.out" 2>&1 &&
  grep -q -- '--profile <FILE>' "$work/line-help.out" || { cat "$work/line-help.out" >&2; echo "quarnelix-dfu-line --help: no --profile" >&2; exit 1; }
/usr/bin/quarnelix-dfu-cli profile new --firmware "$hex" --port COM9 --ledger "$work/line.sqlite" >"$work/line.ini"
status=0
QT_QPA_PLATFORM=offscreen timeout -s TERM 3 /usr/bin/quarnelix-dfu-line --profile "$work/line.ini" >"$work/line.out" 2>&1 || status=$?
[ "$status" -eq 124 ] || { cat "$work/line.out" >&2; echo "the line window ended with $status" >&2; exit 1; }
echo "installed line window: --version $version, --help, started on a profile and closed again"

desktop-file-validate /usr/share/applications/quarnelix-dfu.desktop
desktop-file-validate /usr/share/applications/quarnelix-dfu-line.desktop
for page in quarnelix-dfu quarnelix-dfu-line quarnelix-dfu-cli quarnelix-devsim; do
  warnings=$(MANWIDTH=80 man --warnings -l "/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null || true)
  [ -z "$warnings" ] || { echo "$page.1: $warnings" >&2; exit 1; }
done
echo "desktop entry and man pages: valid"

"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq quarnelix-dfu >/dev/null
left=0
while read -r f; do
  if [ -e "$f" ]; then echo "left behind: $f" >&2; left=1; fi
done <"$work/files"
[ "$left" -eq 0 ] || exit 1
echo "removed: nothing left behind"

#!/usr/bin/env bash
# The README's screenshots, from the current builds: docs/quarnelix-dfu.png is the window on Linux
# (offscreen) after a whole run; docs/quarnelix-dfu-line.png the line's operator window on Linux
# (offscreen) after a run of four fixtures, one of them failed; docs/quarnelix-dfu-wine.png the
# Windows window under Wine after a click on "Upload" flashed the simulated controller.
#
# Usage: scripts/screenshots.sh [BUILD]   (the Linux build with the window; default build; the
#                                          Windows zip is taken from dist/)
set -euo pipefail
build=${1:-build}
version=$(sed -n 's/^project(quarnelix-dfu VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
QT_QPA_PLATFORM=offscreen "$build/tests/test_window" --gtest_filter=WindowTest.Screenshot >"$work/linux.log" 2>&1 ||
  { tail -n 20 "$work/linux.log" >&2; exit 1; }
cp "$build/quarnelix-dfu.png" docs/quarnelix-dfu.png
echo "docs/quarnelix-dfu.png"
QT_QPA_PLATFORM=offscreen "$build/tests/test_window" --gtest_filter=LineWindowTest.DISABLED_Screenshot \
  --gtest_also_run_disabled_tests >"$work/line.log" 2>&1 || { tail -n 20 "$work/line.log" >&2; exit 1; }
cp "$build/quarnelix-dfu-line.png" docs/quarnelix-dfu-line.png
echo "docs/quarnelix-dfu-line.png"
unzip -q "dist/quarnelix-dfu-$version-win64.zip" -d "$work"
scripts/wine-window.sh "$build" "$work/quarnelix-dfu-$version-win64" docs/quarnelix-dfu-wine.png
echo "docs/quarnelix-dfu-wine.png"

#!/usr/bin/env bash
# Qt 6 (qtbase: Core, Gui, Widgets, Test, the windows and offscreen platform plugins and the
# windowsvista style) for 64-bit Windows, cross-built with Debian's MinGW-w64 from Debian's own
# source package qt6-base, the same version as the host's Qt tools (moc, rcc, uic), which the build
# uses. Shared libraries: Qt is LGPL, so its DLLs go beside the program where a user can replace
# them. Configured as small as the window allows.
#
# Usage: scripts/build-qt-windows.sh [CACHE_ROOT [JOBS]]   (default ~/.cache/quarnelix-dfu, 2)
# Installs into CACHE_ROOT/qt-VERSION-mingw64-HASH, HASH naming this script and its inputs, and
# prints that folder. With it present the script only prints it: the build (some 17 minutes on two
# cores, a 2.6 GB tree) is paid once per machine; only the installed prefix (about 100 MB) is kept.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache_root=${1:-$HOME/.cache/quarnelix-dfu}
jobs=${2:-2}

version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)
upstream=${version%%+*}
options=(
  -release -shared -opensource -confirm-license -nomake examples -nomake tests
  -xplatform win32-g++ -qt-host-path /usr
  -no-opengl -no-dbus -no-icu -no-feature-network -no-feature-sql -no-feature-xml
  -no-feature-printsupport -no-feature-concurrent -no-feature-testlib_selfcover
  -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz -qt-doubleconversion
  # Debian's source leaves out src/3rdparty/wintab, which tablet events need; with Direct2D off,
  # DirectWrite 3 goes too (the windows plugin would reference a font database left out); the
  # cross build has no Android deployment tool.
  -no-feature-tabletevent -no-feature-direct2d -no-feature-directwrite3 -no-feature-androiddeployqt
)
# The key covers everything the build depends on: this script (options, steps), the source
# fetching it shares, the toolchain file and the version of Debian's source.
hash=$(cat "$0" "$here/scripts/debian-source.sh" "$here/cmake/mingw-w64-x86_64.cmake" <(echo "$version") |
  sha256sum | cut -c1-12)
prefix="$cache_root/qt-$upstream-mingw64-$hash"
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qdfu-qt-XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "building Qt $upstream for Windows into $prefix (once per machine)" >&2
. "$here/scripts/debian-source.sh"
debian_source "qt6-base=$version" "$work"
src="$work/src"
mkdir -p "$work/build"
cd "$work/build"
"$src/configure" -prefix "$prefix" "${options[@]}" -- \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -G Ninja >"$work/configure.log" 2>&1 ||
  { tail -n 40 "$work/configure.log" >&2; exit 1; }
cmake --build . --parallel "$jobs" >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; exit 1; }
cmake --install . >/dev/null
touch "$prefix/.complete"
echo "$prefix"

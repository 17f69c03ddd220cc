#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demos need. Silent and quick when
# everything is present; without root or sudo it prints the apt-get line to run and fails.
set -euo pipefail

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          qt6-base-dev qt6-base-private-dev libgl-dev libcli11-dev binutils python3 fonts-dejavu-core
          libsqlite3-dev libpq-dev postgresql nlohmann-json3-dev qt6-l10n-tools)
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi
if [ "${1:-}" = "--package" ]; then
  packages+=(dpkg-dev lintian desktop-file-utils man-db file)
fi
if [ "${1:-}" = "--windows" ]; then
  packages+=(g++-mingw-w64-x86-64-posix googletest wine wine64 zip ninja-build dpkg-dev nsis xvfb xauth fonts-wine
             imagemagick x11-apps xdotool tcl perl)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

line="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  sudo=(sudo)
else
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run as root:  $line" >&2
  exit 1
fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq >/dev/null
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

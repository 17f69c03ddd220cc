#!/usr/bin/env bash
# dist/quarnelix-dfu-cli-VERSION-win64.zip: the statically linked command line and its README.
set -euo pipefail
winbuild=${1:-build-windows}
version=$(sed -n 's/^project(quarnelix-dfu VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="quarnelix-dfu-cli-$version-win64"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name" dist
cp "$winbuild/cli/quarnelix-dfu-cli.exe" "$stage/$name/"
sed 's/$/\r/' docs/README-windows.txt >"$stage/$name/README.txt"
rm -f "dist/$name.zip"
(cd "$stage" && zip -q -r "$OLDPWD/dist/$name.zip" "$name")
echo "dist/$name.zip"

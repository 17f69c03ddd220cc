#!/usr/bin/env bash
# The Windows deliverables from a cross build:
#   dist/quarnelix-dfu-cli-VERSION-win64.zip   the statically linked command line and its README;
# and, when the window was built (with the Qt of scripts/build-qt-windows.sh, QT_PREFIX):
#   dist/quarnelix-dfu-VERSION-win64.zip        the window and the line's operator window, their
#                                               Qt DLLs and plugins, the MinGW runtime, the
#                                               command line and the README;
#   dist/quarnelix-dfu-VERSION-win64-setup.exe  the same as an NSIS installer.
# Every program and DLL shipped may import only DLLs shipped beside it or those of Windows itself.
#
# Usage: scripts/windows-package.sh BUILD_DIR [QT_PREFIX]
set -euo pipefail
winbuild=${1:-build-windows}
qt=${2:-}
version=$(sed -n 's/^project(quarnelix-dfu VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p dist

# Only Windows's own DLLs may come from outside what is shipped.
check_imports() {
  local dir=$1 bad=0 file dll
  while IFS= read -r file; do
    while IFS= read -r dll; do
      [ -e "$(dirname "$file")/$dll" ] || [ -e "$dir/$dll" ] && continue
      case "${dll,,}" in
        kernel32.dll|user32.dll|gdi32.dll|advapi32.dll|shell32.dll|ole32.dll|oleaut32.dll|ws2_32.dll|msvcrt.dll|\
        comdlg32.dll|imm32.dll|winmm.dll|version.dll|netapi32.dll|userenv.dll|uxtheme.dll|dwmapi.dll|shlwapi.dll|\
        setupapi.dll|cfgmgr32.dll|wtsapi32.dll|mpr.dll|authz.dll|d3d9.dll|d3d11.dll|dxgi.dll|dwrite.dll|d2d1.dll|crypt32.dll|\
        bcrypt.dll|rpcrt4.dll|secur32.dll|iphlpapi.dll|comctl32.dll|shcore.dll|api-ms-win-*) ;;
        *) echo "$file imports $dll, which is neither shipped nor part of Windows" >&2; bad=1 ;;
      esac
    done < <(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
  done < <(find "$dir" -iname '*.exe' -o -iname '*.dll')
  return $bad
}

cli="quarnelix-dfu-cli-$version-win64"
mkdir -p "$stage/$cli"
cp "$winbuild/cli/quarnelix-dfu-cli.exe" "$stage/$cli/"
sed 's/$/\r/' docs/README-windows.txt >"$stage/$cli/README.txt"
check_imports "$stage/$cli"
rm -f "dist/$cli.zip"
(cd "$stage" && zip -q -r "$OLDPWD/dist/$cli.zip" "$cli")
echo "dist/$cli.zip"

[ -f "$winbuild/app/quarnelix-dfu.exe" ] || exit 0
[ -n "$qt" ] || { echo "windows-package.sh: the window needs the Qt prefix as second argument" >&2; exit 1; }
full="quarnelix-dfu-$version-win64"
dir="$stage/$full"
mkdir -p "$dir/platforms" "$dir/styles"
cp "$winbuild/app/quarnelix-dfu.exe" "$winbuild/app/quarnelix-dfu-line.exe" "$winbuild/cli/quarnelix-dfu-cli.exe" "$dir/"
cp "$qt"/bin/Qt6Core.dll "$qt"/bin/Qt6Gui.dll "$qt"/bin/Qt6Widgets.dll "$dir/"
cp "$qt"/plugins/platforms/qwindows.dll "$qt"/plugins/platforms/qoffscreen.dll "$dir/platforms/"
cp "$qt"/plugins/styles/qwindowsvistastyle.dll "$dir/styles/"
# The MinGW runtime that Qt's DLLs were built against.
for dll in libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll; do
  path=$(x86_64-w64-mingw32-g++-posix -print-file-name="$dll")
  [ -f "$path" ] || path=/usr/x86_64-w64-mingw32/lib/$dll
  cp "$path" "$dir/"
done
sed 's/$/\r/' docs/README-windows.txt >"$dir/README.txt"
convert packaging/quarnelix-dfu-48.png -define icon:auto-resize=48,32,16 "$dir/quarnelix-dfu.ico"
check_imports "$dir"
rm -f "dist/$full.zip"
(cd "$stage" && zip -q -r "$OLDPWD/dist/$full.zip" "$full")
echo "dist/$full.zip"
makensis -V2 -DVERSION="$version" -DSTAGE="$dir" -DOUTFILE="$PWD/dist/$full-setup.exe" \
  packaging/windows/quarnelix-dfu.nsi >/dev/null
echo "dist/$full-setup.exe"

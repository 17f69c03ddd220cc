# Sourced by the scripts that cross-build from Debian's source packages.
# debian_source PACKAGE=VERSION DIR: the source package unpacked into DIR/src, from a deb-src entry
# added for the purpose when apt has none.
debian_source() {
  local sources=/etc/apt/sources.list.d/quarnelix-dfu-src.sources sudo=()
  if ! apt-get source --print-uris "$1" >/dev/null 2>&1; then
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources
    else
      printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\n' \
        "$(. /etc/os-release && echo "$VERSION_CODENAME")"
    fi | "${sudo[@]}" tee "$sources" >/dev/null
    "${sudo[@]}" apt-get update -qq >/dev/null
  fi
  mkdir -p "$2"
  (cd "$2" && apt-get source -qq --download-only "$1" >/dev/null 2>&1 && dpkg-source -x ./*.dsc src >/dev/null 2>&1)
}

#!/usr/bin/env bash
# The ledger's database clients for 64-bit Windows, cross-built with Debian's MinGW-w64 from
# Debian's own source packages of the versions the host uses: SQLite (sqlite3, its amalgamation
# compiled into a static library) and libpq (postgresql-15's client library, built without SSL,
# readline or zlib; its objects and the two helper libraries it is made of kept as static
# libraries, so that the command line stays one program that imports only Windows's own DLLs).
#
# Usage: scripts/build-db-clients-windows.sh [CACHE_ROOT [JOBS]]   (default ~/.cache/quarnelix-dfu, 2)
# Installs include/ and lib/ (libsqlite3.a; libpq.a, libpgcommon.a, libpgport.a, linked in that
# order with ws2_32, secur32, shell32 and advapi32) into
# CACHE_ROOT/dbclients-SQLITE-PQ-mingw64-HASH and prints that folder; with it present it only
# prints it. The build takes some three minutes on two cores, once per machine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache_root=${1:-$HOME/.cache/quarnelix-dfu}
jobs=${2:-2}

sqlite_version=$(dpkg-query -W -f='${Version}' libsqlite3-dev)
pq_version=$(dpkg-query -W -f='${Version}' libpq-dev)
pq_source=$(dpkg-query -W -f='${source:Package}' libpq-dev)
cc=x86_64-w64-mingw32-gcc-posix
sqlite_flags=(-O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION)
pq_options=(--host=x86_64-w64-mingw32 "CC=$cc" --without-readline --without-zlib --without-icu)
hash=$({ cat "$0" "$here/scripts/debian-source.sh"; echo "$sqlite_version $pq_version"; } | sha256sum | cut -c1-12)
prefix="$cache_root/dbclients-${sqlite_version%%-*}-${pq_version%%-*}-mingw64-$hash"
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qdfu-db-XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "building SQLite and libpq for Windows into $prefix (once per machine)" >&2
. "$here/scripts/debian-source.sh"
mkdir -p "$work/stage/include" "$work/stage/lib"

# SQLite: the amalgamation is generated on the host (it needs tclsh), then compiled for Windows.
debian_source "sqlite3=$sqlite_version" "$work/sqlite"
mkdir -p "$work/sqlite/build"
(cd "$work/sqlite/build" && ../src/configure --disable-tcl >"$work/sqlite.log" 2>&1 &&
 make sqlite3.c >>"$work/sqlite.log" 2>&1 &&
 "$cc" "${sqlite_flags[@]}" -c sqlite3.c -o sqlite3.o >>"$work/sqlite.log" 2>&1 &&
 x86_64-w64-mingw32-ar rcs "$work/stage/lib/libsqlite3.a" sqlite3.o &&
 cp sqlite3.h "$work/stage/include/") || { tail -n 40 "$work/sqlite.log" >&2; exit 1; }

# libpq: only the client library and what it is built from.
debian_source "$pq_source=$pq_version" "$work/pq"
mkdir -p "$work/pq/build"
# The headers generated from the server's sources (utils/errcodes.h and its neighbours), which
# src/common includes, are made only by the backend's generated-headers step.
(cd "$work/pq/build" && ../src/configure "${pq_options[@]}" >"$work/pq.log" 2>&1 &&
 make -C src/backend generated-headers >>"$work/pq.log" 2>&1 &&
 for dir in src/include src/common src/port src/interfaces/libpq; do
   make -j"$jobs" -C "$dir" >>"$work/pq.log" 2>&1 || exit 1
 done &&
 (cd src/interfaces/libpq && x86_64-w64-mingw32-ar rcs "$work/stage/lib/libpq.a" \
    $(ls ./*.o | grep -v win32ver.o)) &&
 cp src/common/libpgcommon_shlib.a "$work/stage/lib/libpgcommon.a" &&
 cp src/port/libpgport_shlib.a "$work/stage/lib/libpgport.a" &&
 # libpq brings a small stand-in for pthreads with types of its own; in one static program with
 # MinGW's winpthreads its names would clash, so libpq's calls keep to it under names of its own.
 x86_64-w64-mingw32-nm src/interfaces/libpq/pthread-win32.o | sed -n 's/^[0-9a-f]* T \(pthread_.*\)/\1 pq_\1/p' \
   >"$work/pthread.map" &&
 for lib in libpq libpgcommon libpgport; do
   x86_64-w64-mingw32-objcopy --redefine-syms="$work/pthread.map" "$work/stage/lib/$lib.a"
 done &&
 cp ../src/src/interfaces/libpq/libpq-fe.h ../src/src/include/postgres_ext.h src/include/pg_config_ext.h \
    "$work/stage/include/") || { tail -n 40 "$work/pq.log" >&2; exit 1; }

rm -rf "$prefix"
mkdir -p "$cache_root"
cp -r "$work/stage" "$prefix"
touch "$prefix/.complete"
echo "$prefix"

#!/usr/bin/env bash
# Cross-builds the MariaDB client library (Connector/C) for 64-bit Windows with mingw-w64, from
# Debian's source package of mariadb (its libmariadb/ folder): no Debian package ships a Windows
# build of a MySQL client library. The result is cached: a second run does nothing.
#
# Usage: tools/build-mariadb-win.sh [PREFIX]      (default PREFIX: build/third_party/mariadb-win)
# Result: PREFIX/include/mariadb/mysql.h and PREFIX/lib/mariadb/libmariadbclient.a.
# Exit status 0 when the library is there; otherwise non-zero, and the last line of standard error
# says why (no source version could be downloaded, or the build failed).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix=${1:-$root/build/third_party/mariadb-win}
work=$root/build/third_party/mariadb-src
stamp=$prefix/.built
log=$work/build.log

if [ -f "$stamp" ]; then
  echo "build-mariadb-win: cached in $prefix ($(cat "$stamp"))"
  exit 0
fi

fail() {
  echo "build-mariadb-win: $*" >&2
  exit 1
}

mkdir -p "$work"
exec 9>"$work/.lock"
flock 9
if [ -f "$stamp" ]; then  # another run finished it while we waited for the lock
  echo "build-mariadb-win: cached in $prefix ($(cat "$stamp"))"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi

# Source packages need a deb-src entry beside the deb one; add a twin of the existing entries once.
src_list=/etc/apt/sources.list.d/brix-deb-src.sources
if ! apt-cache showsrc mariadb 2>/dev/null | grep -q '^Version:'; then
  if [ ! -f "$src_list" ]; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
        $sudo tee "$src_list" >/dev/null
    elif [ -f /etc/apt/sources.list ]; then
      grep -E '^deb ' /etc/apt/sources.list | sed -E 's/^deb /deb-src /' |
        $sudo tee "${src_list%.sources}.list" >/dev/null
    else
      fail "no apt sources found to derive a deb-src entry from"
    fi
  fi
  $sudo apt-get update -q >"$work/apt-update.log" 2>&1 || fail "apt-get update failed; see $work/apt-update.log"
fi

versions=$(apt-cache showsrc mariadb 2>/dev/null | awk '/^Version:/ {print $2}' | sort -Vru)
[ -n "$versions" ] || fail "apt knows no source version of mariadb"

# Newest first: a listed version's files are sometimes already gone from the archive.
src=
for v in $versions; do
  upstream=${v#*:}
  upstream=${upstream%-*}
  dir=$work/mariadb-$upstream
  if [ -f "$dir/libmariadb/CMakeLists.txt" ]; then
    src=$dir
    break
  fi
  echo "build-mariadb-win: fetching the source of mariadb $v"
  rm -rf "$work/download" && mkdir -p "$work/download"
  if ! (cd "$work/download" && apt-get source -q --download-only "mariadb=$v") >"$work/fetch-$upstream.log" 2>&1; then
    echo "build-mariadb-win: mariadb $v could not be downloaded; trying an older version"
    continue
  fi
  orig=$(ls "$work"/download/mariadb_"$upstream".orig.tar.* 2>/dev/null | head -n 1)
  [ -n "$orig" ] || { echo "build-mariadb-win: no upstream tarball for $v"; continue; }
  rm -rf "$dir.tmp" && mkdir -p "$dir.tmp"
  # Only the client library is needed: extract its folder and nothing else.
  if tar -xf "$orig" -C "$dir.tmp" --strip-components=1 --wildcards '*/libmariadb/*' &&
     [ -f "$dir.tmp/libmariadb/CMakeLists.txt" ]; then
    rm -rf "$dir" && mv "$dir.tmp" "$dir"
    rm -rf "$work/download"
    src=$dir
    break
  fi
  echo "build-mariadb-win: the tarball of $v holds no libmariadb/; trying an older version"
done
[ -n "$src" ] || fail "no source version of mariadb could be had (tried: $(echo $versions))"

echo "build-mariadb-win: building $(basename "$src")/libmariadb for Windows (a minute or two)"
bdir=$work/build
rm -rf "$bdir" "$prefix"
if ! { cmake -S "$src/libmariadb" -B "$bdir" -G Ninja \
         -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
         -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DCMAKE_INSTALL_PREFIX="$prefix" \
         -DWITH_SSL=OFF -DWITH_CURL=OFF -DWITH_UNIT_TESTS=OFF -DWITH_EXTERNAL_ZLIB=OFF \
         -DCMAKE_C_FLAGS="-w" &&
       cmake --build "$bdir" --target mariadbclient &&
       cmake --install "$bdir" --component Development; } >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  fail "building the client library failed; see $log"
fi
[ -f "$prefix/lib/mariadb/libmariadbclient.a" ] || fail "no libmariadbclient.a after install; see $log"
echo "$(basename "$src")" >"$stamp"
echo "build-mariadb-win: built into $prefix"

#!/usr/bin/env bash
# Builds the Debian package build/deb/brix_<version>_<arch>.deb and prints its path.
#
# The package holds the daemon built for system paths (preset deb: catalog /etc/brix/cgi.csv, a
# conffile naming the example cgilets in /usr/lib/brix/cgilets/, process id in /run/brix/), the
# client brix-call, the systemd unit brix.service, the manual pages brix(8), brix-call(1) and
# cgi.csv(5), and the cgilet SDK (headers, static libraries, the CMake package Brix), all from
# `cmake --install` of that build plus packaging/debian/.
#
# Usage: tools/package-deb.sh
# Then:  apt install ./build/deb/brix_<version>_<arch>.deb && systemctl enable --now brix
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
src=$root/packaging/debian
out=$root/build/deb
stage=$out/root

tools/install-deps.sh main package >&2

# Debian's hardening and optimisation flags, as a Debian build would use them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CFLAGS=$(dpkg-buildflags --get CFLAGS)
CXXFLAGS=$(dpkg-buildflags --get CXXFLAGS)
CPPFLAGS=$(dpkg-buildflags --get CPPFLAGS)
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export LDFLAGS
cmake --preset deb >&2
cmake --build --preset deb >&2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb=$out/brix_${version}_${arch}.deb

rm -rf "$stage"
DESTDIR=$stage cmake --install "$out/build" --strip >&2

# What the build does not install: the unit, the manual pages, the Debian documents.
install -D -m 644 "$src/brix.service" "$stage/lib/systemd/system/brix.service"
for page in brix.8 brix-call.1 cgi.csv.5; do
  dir=$stage/usr/share/man/man${page##*.}
  mkdir -p "$dir"
  sed "s/@VERSION@/$version/g" "$src/man/$page" | gzip -9n >"$dir/$page.gz"
done
doc=$stage/usr/share/doc/brix
install -D -m 644 "$src/copyright" "$doc/copyright"
sed "s/@VERSION@/$version/g" "$src/changelog" | gzip -9n >"$doc/changelog.gz"

# Control area: the maintainer scripts, the catalog as a configuration file that upgrades keep,
# checksums, and the libraries the programs and cgilets link, as dpkg-shlibdeps finds them.
mkdir -p "$stage/DEBIAN"
install -m 755 "$src/postinst" "$src/prerm" "$src/postrm" "$stage/DEBIAN/"
echo /etc/brix/cgi.csv >"$stage/DEBIAN/conffiles"
(cd "$stage" && find . -path ./DEBIAN -prune -o -path ./etc -prune -o -type f -printf '%P\0' |
  LC_ALL=C sort -z | xargs -0 md5sum >DEBIAN/md5sums)
shlibs=$out/shlibs
rm -rf "$shlibs" && mkdir -p "$shlibs/debian"
printf 'Source: brix\n\nPackage: brix\nArchitecture: any\n' >"$shlibs/debian/control"
depends=$(cd "$shlibs" && dpkg-shlibdeps -O \
  "$stage/usr/bin/brix" "$stage/usr/bin/brix-call" "$stage"/usr/lib/brix/cgilets/*.so |
  sed -n 's/^shlibs:Depends=//p')
size=$(du -k -s --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@INSTALLED_SIZE@/$size/" \
    -e "s/@DEPENDS@/adduser, $depends/" "$src/control.in" >"$stage/DEBIAN/control"

# Everything belongs to root; the build's umask must not leak into the package.
chmod -R u+rwX,go+rX,go-w "$stage"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >&2
echo "$deb"

#!/usr/bin/env bash
# Builds the Debian packages from debian/ with dpkg-buildpackage -b -us -uc and prints the paths
# of what it made, one a line: brix_<version>_<arch>.deb, brix-dev_..., brix-dbgsym_... and, last,
# brix_<version>_<arch>.changes, all in build/deb/.
#
# dpkg-buildpackage builds in the source tree and writes its results beside it, into the parent
# folder. So it runs on a copy of the checkout's files (tracked and untracked, as git lists them)
# in build/deb/src, and the checkout itself gets nothing but build/.
#
# Usage: tools/package-deb.sh
# Then:  apt install ./build/deb/brix_<version>_<arch>.deb   (README.Debian: the database set-up)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
out=$root/build/deb
src=$out/src

tools/install-deps.sh main package >&2

rm -rf "$src" "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$src"

(cd "$src" && dpkg-buildpackage -b -us -uc) >&2

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
arch=$(dpkg --print-architecture)
changes=$out/brix_${version}_${arch}.changes
[ -f "$changes" ] || { echo "package-deb: no $changes" >&2; exit 1; }
sed -n '/^Files:/,/^[^ ]/s/^ [0-9a-f]* [0-9]* [^ ]* [^ ]* //p' "$changes" | grep '\.deb$' |
  sed "s|^|$out/|"
echo "$changes"

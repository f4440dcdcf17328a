#!/usr/bin/env bash
# Builds the Windows installer from packaging/windows/brix.wxs with wixl (Debian package wixl) and
# marks the catalog's component NeverOverwrite with msibuild (Debian package msitools).
#
# Usage: make-msi.sh VERSION BIN_DIR DOC_DIR OUTPUT
#   VERSION   the product version, major.minor.patch (the project's version)
#   BIN_DIR   the Windows build's folder of programs, cgilets and cgi.csv
#   DOC_DIR   the folder of INSTALL.txt with Windows line ends
#   OUTPUT    the .msi to write
#
# Called by the build's `msi` target (cmake/BrixPackage.cmake) and by the installer's test.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: make-msi.sh VERSION BIN_DIR DOC_DIR OUTPUT" >&2; exit 2; }
version=$1 bin_dir=$2 doc_dir=$3 output=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# wixl takes the files brix.wxs names from its current folder: gather them in one, INSTALL.txt
# from DOC_DIR and the others from BIN_DIR.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
for file in $(sed -n 's/.*<File .*Source="\([^"]*\)".*/\1/p' "$here/brix.wxs"); do
  dir=$bin_dir
  [ "$file" != INSTALL.txt ] || dir=$doc_dir
  ln -s "$(realpath "$dir/$file")" "$stage/$file"
done
output=$(realpath -m "$output")
(cd "$stage" && wixl -a x64 -D "Version=$version" -o "$output" "$here/brix.wxs")

# The Windows Installer's NeverOverwrite bit of the Component table (msidbComponentAttributes-
# NeverOverwrite, 128), which WiX writes for Component/@NeverOverwrite="yes" and this wixl does not
# know: an existing cgi.csv, edited or not, is kept by a repair and by an upgrade.
attributes=$(msiinfo export "$output" Component | awk -F'\t' '$1 == "Catalog" { print $4 }')
[ -n "$attributes" ] || { echo "make-msi: no Catalog component in $output" >&2; exit 1; }
msibuild "$output" -q \
  "UPDATE \`Component\` SET \`Attributes\` = $((attributes | 128)) WHERE \`Component\` = 'Catalog'"

#!/usr/bin/env bash
# Builds the Windows packages: the windows preset (with the MySQL client library it needs) and then
# its zip, build/windows/brix-<version>-win64.zip, which holds the programs, the example cgilets,
# their catalog and INSTALL.txt, and its installer, build/windows/brix-<version>-win64.msi, which
# installs the same files and sets up the service "BRIx".
#
# Usage: tools/package-windows.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

"$root/tools/install-deps.sh"
"$root/tools/build-mariadb-win.sh"
cmake --preset windows
cmake --build --preset windows --target package msi
ls "$root"/build/windows/brix-*-win64.zip "$root"/build/windows/brix-*-win64.msi

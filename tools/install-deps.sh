#!/usr/bin/env bash
# Installs what brix needs to build and test on Debian 12, idempotently: packages already present
# are not fetched again, and the package lists are refreshed only when something is missing.
# Usage: tools/install-deps.sh            (everything: native, Windows cross build, Wine, MariaDB)
set -euo pipefail

packages=(
  # native build and tests
  build-essential cmake ninja-build pkg-config clang-format
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # Windows cross build, run under Wine
  g++-mingw-w64-x86-64-posix wine wine64
  # the database server the tests and the main job run against, and its client library
  mariadb-server-core mariadb-client-core libmariadb-dev
  # tools the scripts use
  procps psmisc util-linux
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"

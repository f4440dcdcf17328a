#!/usr/bin/env bash
# Installs what brix needs on Debian 12, idempotently: packages already present are not fetched
# again, and the package lists are refreshed only when something is missing.
#
# Usage: tools/install-deps.sh [SET ...]      (default: all)
#   main      build and run the daemon: compiler, CMake and Ninja, the MySQL client library, the
#             MariaDB server for the throwaway database (tools/run-brix.sh)
#   test      the test frameworks, the formatter, and clang with libFuzzer, for the native,
#             asan, tsan and fuzz presets
#   windows   the mingw-w64 cross compiler and Wine, for the windows preset, and wixl and msitools
#             for its installer
#   package   the Debian packages and their checks: debhelper, dpkg-buildpackage, lintian,
#             logrotate, systemd-analyze
#   bench     nginx and gnuplot, for bench/run-bench.sh
#   all       every set above but bench (tools/test-all.sh)
set -euo pipefail

declare -A sets=(
  [main]="build-essential cmake ninja-build pkg-config libmariadb-dev
          mariadb-server-core mariadb-client-core util-linux"
  [test]="clang-format clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev libbenchmark-dev procps psmisc"
  [windows]="g++-mingw-w64-x86-64-posix wine wine64 wixl msitools"
  [package]="debhelper dpkg-dev lintian logrotate systemd"
  [bench]="nginx-light gnuplot-nox"
)

requested=("$@")
[ ${#requested[@]} -gt 0 ] || requested=(all)
packages=()
for set in "${requested[@]}"; do
  case "$set" in
    all) packages+=(${sets[main]} ${sets[test]} ${sets[windows]} ${sets[package]}) ;;
    main | test | windows | package | bench) packages+=(${sets[$set]}) ;;
    *)
      echo "install-deps: unknown set '$set' (main, test, windows, package, bench, all)" >&2
      exit 2
      ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present (${requested[*]})"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Another installation on the machine holds the package lock for a while: wait for it.
lock_wait=(-o DPkg::Lock::Timeout=600)
$sudo apt-get "${lock_wait[@]}" update -q
$sudo apt-get "${lock_wait[@]}" install -y -q --no-install-recommends "${missing[@]}"

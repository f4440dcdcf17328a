#!/usr/bin/env bash
# Tests of the Debian package (tools/package-deb.sh), one line per case: "ok NAME", "FAILED NAME"
# (with the reason on the lines before) or "skipped NAME". Exit status 0 when none failed.
#
# - the package builds, and lintian reports no errors;
# - unpacked into a scratch root it holds the daemon built for system paths, its catalog as a
#   conffile naming the packaged cgilets, the unit (accepted by systemd-analyze verify), the
#   manual pages, and an SDK against which examples/my_cgilet builds;
# - installed for real (only in CI, as root: CI=true), the SDK is found without a prefix path,
#   and the daemon runs the way the unit runs it,
#   serves "Hello" to the installed brix-call, stops in order on the unit's stop signal, and a
#   purge leaves none of the package's files behind. It takes port 1995, shared with the Windows
#   service tests, under the lock they use, and refuses to touch a brix already installed.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$root/build/deb-test
rm -rf "$work" && mkdir -p "$work"
failed=0

# check NAME COMMAND...: runs the case function COMMAND in a subshell that stops at its first
# failing command, and reports it.
check() {
  local name=$1
  shift
  # Not inside a condition, where the shell would ignore set -e.
  (set -e; "$@") >"$work/$name.log" 2>&1
  if [ $? -eq 0 ]; then
    echo "ok $name"
  else
    sed 's/^/    /' "$work/$name.log"
    echo "FAILED $name"
    failed=$((failed + 1))
  fi
}
fail() { echo "$*" >&2; return 1; }
unit_value() { sed -n "s/^$1=//p" "$2" | tail -n 1; }

build() {
  "$root/tools/package-deb.sh" >"$work/path" 2>"$work/build-output"
  deb=$(tail -n 1 "$work/path")
  [[ $deb == $root/build/deb/brix_*_$(dpkg --print-architecture).deb ]] || fail "printed: $deb"
  [ -f "$deb" ] || fail "no file $deb"
  lintian --fail-on error "$deb"
}

contents() {
  local deb scratch=$work/scratch
  deb=$(tail -n 1 "$work/path")
  dpkg -x "$deb" "$scratch"
  for f in usr/bin/brix usr/bin/brix-call usr/lib/brix/cgilets/hello.so \
           usr/lib/brix/cgilets/echo.so usr/lib/brix/cgilets/guestbook.so etc/brix/cgi.csv \
           lib/systemd/system/brix.service usr/share/man/man8/brix.8.gz \
           usr/share/man/man1/brix-call.1.gz usr/share/man/man5/cgi.csv.5.gz \
           usr/lib/cmake/Brix/BrixConfig.cmake usr/include/brix-sdk/brix/cgilet.h; do
    [ -e "$scratch/$f" ] || fail "missing /$f"
  done
  [ "$(dpkg-deb -f "$deb" Package)" = brix ] || fail "not the package brix"
  [ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/brix/cgi.csv ] ||
    fail "the catalog is not the one conffile"
  # The daemon was built for the system paths.
  grep -q -a /etc/brix/cgi.csv "$scratch/usr/bin/brix" || fail "daemon reads another catalog"
  grep -q -a /run/brix/brix.pid "$scratch/usr/bin/brix" || fail "daemon writes another pid file"
  # Every catalog row names a cgilet the package holds, by its installed path.
  while IFS= read -r row; do
    [[ $row =~ ^\"[a-z]+\",\"(/usr/lib/brix/cgilets/[a-z]+\.so)\",\"make_[a-z]+\",\"[a-z]+\"$ ]] ||
      fail "catalog row: $row"
    [ -f "$scratch${BASH_REMATCH[1]}" ] || fail "catalog names a missing ${BASH_REMATCH[1]}"
  done <"$scratch/etc/brix/cgi.csv"
  [ "$(wc -l <"$scratch/etc/brix/cgi.csv")" -eq 3 ] || fail "the catalog has not three rows"
  # The unit, with ExecStart pointed into the scratch root (its program is not installed here).
  local unit=$scratch/lib/systemd/system/brix.service
  [ "$(unit_value ExecStart "$unit")" = /usr/bin/brix ] || fail "ExecStart is not /usr/bin/brix"
  [ "$(unit_value RuntimeDirectory "$unit")" = brix ] || fail "no RuntimeDirectory brix"
  [[ $(unit_value KillSignal "$unit") =~ ^SIG(INT|TERM)$ ]] || fail "stop signal not handled"
  mkdir -p "$work/unit"
  sed "s|^ExecStart=/|ExecStart=$scratch/|" "$unit" >"$work/unit/brix.service"
  systemd-analyze verify --man=no "$work/unit/brix.service"
  # The SDK: the out-of-tree example builds against the unpacked package.
  cmake -S "$root/examples/my_cgilet" -B "$work/my_cgilet" -G Ninja \
    -DCMAKE_PREFIX_PATH="$scratch/usr"
  cmake --build "$work/my_cgilet"
  [ -f "$work/my_cgilet/my_cgilet.so" ] || fail "my_cgilet.so was not built"
}

# The installed daemon, run as the unit runs it; its process id in $daemon.
start_as_unit() {
  local unit=/lib/systemd/system/brix.service user
  user=$(unit_value User "$unit")
  install -d -o "$user" -g "$(unit_value Group "$unit")" -m 755 \
    "/run/$(unit_value RuntimeDirectory "$unit")"
  (cd / && exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin ${MYSQL_TCP_PORT:+MYSQL_TCP_PORT=$MYSQL_TCP_PORT} \
    setpriv --reuid="$user" --regid="$user" --init-groups --no-new-privs \
    $(unit_value ExecStart "$unit")) >"$work/daemon.out" 2>"$work/daemon.err" 9>&- &
  daemon=$!
  for _ in $(seq 1 200); do
    grep -q '^run next\.\.\.$' "$work/daemon.out" && return 0
    kill -0 "$daemon" 2>/dev/null || fail "the daemon ended: $(cat "$work/daemon.err")"
    sleep 0.1
  done
  fail "the daemon did not start"
}

# Undoes whatever installing did, whatever state it stopped in.
uninstall() {
  [ -z "${daemon:-}" ] || kill -KILL "$daemon" 2>/dev/null || true
  apt-get purge -y -q brix >/dev/null 2>&1 || true
  rm -rf /run/brix
}

install_run_purge() {
  local deb files signal status
  deb=$(tail -n 1 "$work/path")
  ! dpkg-query -W brix >/dev/null 2>&1 || fail "a brix package is installed already: left alone"
  trap uninstall EXIT
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 "$deb"
  files=$(dpkg -L brix)
  systemd-analyze verify /lib/systemd/system/brix.service
  # The installed SDK is found where CMake looks by default.
  cmake -S "$root/examples/my_cgilet" -B "$work/my_cgilet_installed" -G Ninja
  cmake --build "$work/my_cgilet_installed"
  start_as_unit
  [ "$(brix-call)" = "Hello, world!" ] || fail "brix-call did not get Hello"
  [ "$(cat /run/brix/brix.pid)" = "$daemon" ] || fail "pid file does not hold $daemon"
  signal=$(unit_value KillSignal /lib/systemd/system/brix.service)
  kill -s "${signal#SIG}" "$daemon"
  status=0
  wait "$daemon" || status=$?
  daemon=
  [ "$status" -eq 0 ] || fail "the daemon exited with $status"
  [ "$(tail -n 1 "$work/daemon.out")" = "done..." ] || fail "no orderly stop: $(tail -n 3 "$work/daemon.out")"
  rm -rf /run/brix  # what systemd does with a RuntimeDirectory when the service stops
  apt-get purge -y -q brix
  local left=()
  while IFS= read -r f; do
    # Folders the package shares with others (/usr/bin, /lib and the like) stay.
    if [ -d "$f" ]; then
      [[ ${f,,} != */brix* ]] || left+=("$f")
    elif [ -e "$f" ] || [ -L "$f" ]; then
      left+=("$f")
    fi
  done <<<"$files"
  [ ${#left[@]} -eq 0 ] || fail "left behind: ${left[*]}"
}

check build build
if [ -f "$work/path" ]; then
  check contents contents
  if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ]; then
    exec 9>/tmp/brix-port-1995.lock
    if flock -w 900 9; then
      check install_run_purge install_run_purge
    else
      echo "FAILED install_run_purge (port 1995 stayed locked for 15 minutes)"
      failed=$((failed + 1))
    fi
    exec 9>&-
  else
    echo "skipped install_run_purge (installs for real: only in CI, as root)"
  fi
fi
[ "$failed" -eq 0 ]

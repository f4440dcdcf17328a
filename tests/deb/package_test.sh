#!/usr/bin/env bash
# Tests of the Debian packages (tools/package-deb.sh), one line per case: "ok NAME", "FAILED NAME"
# (with the reason on the lines before) or "skipped NAME". Exit status 0 when none failed.
#
# - build: the packages brix, brix-dev and brix-dbgsym build without compiler warnings, and
#   lintian reports neither errors nor warnings on the .changes;
# - contents: unpacked, they hold the daemon built for Debian (no password, catalog rows naming
#   the packaged cgilets and the database brix), the unit (accepted by systemd-analyze verify,
#   allowing a stop longer than one request's deadlines), and an SDK against which
#   examples/my_cgilet builds.
# Only in CI (CI=true) as root, for real, next to Debian's mariadb-server (started without
# networking, so that it takes no port from the tests' own database server):
# - install: both packages install with apt-get, and the documented database set-up runs;
# - serve: the daemon runs exactly as the unit runs it (user, working folder, ExecStart, output
#   file), answers "Hello" and a guestbook entry through brix-call, writes every trace line of
#   2,000 requests a second for 10 s to its file, goes on writing to it after logrotate's
#   rotation, and stops in order on the unit's stop signal;
# - sdk: examples/my_cgilet builds against the installed brix-dev;
# - upgrade: a package of a higher version installs over it and keeps an edited catalog;
# - purge: nothing of the packages is left.
# The daemon takes port 1995, shared with other tests, under the lock they use. Packages and
# database account are removed, and a database server the test started is stopped, on the way out.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$root/build/deb-test
rm -rf "$work" && mkdir -p "$work"
unit=/lib/systemd/system/brix.service
failed=0

# check NAME: runs the case function NAME in a subshell that stops at its first failing command,
# and reports it.
check() {
  local started=$SECONDS
  (set -e; "$1") >"$work/$1.log" 2>&1
  if [ $? -eq 0 ]; then
    echo "ok $1 ($((SECONDS - started)) s)"
  else
    sed 's/^/    /' "$work/$1.log"
    echo "FAILED $1"
    failed=$((failed + 1))
    return 1
  fi
}
fail() { echo "$*" >&2; return 1; }
unit_value() { sed -n "s/^$1=//p" "$2" | tail -n 1; }
deb() { grep "/$1_[^_]*_[^_]*\.deb$" "$work/paths"; }
until_true() {  # SECONDS COMMAND...: polls COMMAND until it succeeds or the time is up
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

build() {
  "$root/tools/package-deb.sh" >"$work/paths" 2>"$work/build-output"
  for p in brix brix-dev brix-dbgsym; do [ -f "$(deb $p)" ] || fail "no package $p"; done
  ! grep 'warning:' "$work/build-output" || fail "the build with Debian's flags warns"
  lintian --fail-on error,warning "$(tail -n 1 "$work/paths")"
}

contents() {
  local s=$work/scratch
  mkdir -p "$s"
  dpkg -x "$(deb brix)" "$s/brix" && dpkg -x "$(deb brix-dev)" "$s/dev"
  for f in brix/usr/sbin/brix brix/usr/bin/brix-call brix/usr/lib/brix/cgilets/guestbook.so \
           brix/usr/share/brix/setup-database.sql brix/etc/logrotate.d/brix \
           brix/usr/share/man/man8/brix.8.gz brix/usr/share/doc/brix/README.Debian \
           dev/usr/include/brix-sdk/brix/cgilet.h dev/usr/lib/cmake/Brix/BrixConfig.cmake; do
    [ -e "$s/$f" ] || fail "missing $f"
  done
  [ "$(dpkg-deb --ctrl-tarfile "$(deb brix)" | tar -xO ./conffiles | sort | paste -sd' ')" = \
    "/etc/brix/cgi.csv /etc/logrotate.d/brix" ] || fail "conffiles are not the catalog and logrotate's"
  # The daemon built for Debian: its catalog, and no password of the default build's settings.
  grep -q -a /etc/brix/cgi.csv "$s/brix/usr/sbin/brix" || fail "daemon reads another catalog"
  ! grep -r -l -a x9mf3qa "$s" || fail "the files above hold the default build's password"
  # Every catalog row names a packaged cgilet by its installed path; the guestbook's database is
  # the one the set-up makes.
  while IFS= read -r row; do
    [[ $row =~ ^\"[a-z]+\",\"(/usr/lib/brix/cgilets/[a-z]+\.so)\",\"make_[a-z]+\",\"([a-z]+)\"$ ]] ||
      fail "catalog row: $row"
    [ -f "$s/brix${BASH_REMATCH[1]}" ] || fail "catalog names a missing ${BASH_REMATCH[1]}"
    [ "${BASH_REMATCH[2]}" = none ] || grep -q "DATABASE IF NOT EXISTS ${BASH_REMATCH[2]};" \
      "$s/brix/usr/share/brix/setup-database.sql" || fail "set-up makes no ${BASH_REMATCH[2]}"
  done <"$s/brix/etc/brix/cgi.csv"
  # A stop waits for the requests in flight: the unit waits longer than the built daemon's
  # deadlines of one request (its line, a read of the cgilet, a send) add up to.
  local ms=0
  for v in REQUEST READ SEND; do
    ms=$((ms + $(sed -n "s/^BRIX_${v}_TIMEOUT_MS:STRING=//p" "$root"/build/deb/src/obj-*/CMakeCache.txt)))
  done
  [ "$(unit_value TimeoutStopSec "$s/brix$unit")" -gt $((ms / 1000)) ] || fail "stop timeout < $ms ms"
  # The unit, with ExecStart pointed into the scratch root (its program is not installed here).
  mkdir -p "$work/unit"
  sed "s|^ExecStart=/|ExecStart=$s/brix/|" "$s/brix$unit" >"$work/unit/brix.service"
  systemd-analyze verify --man=no "$work/unit/brix.service"
  cmake -S "$root/examples/my_cgilet" -B "$work/my_cgilet" -G Ninja \
    -DCMAKE_PREFIX_PATH="$s/dev/usr"
  cmake --build "$work/my_cgilet"
}

# Debian's server, started here unless one answers on its socket already; without networking.
database_up() {
  if ! dpkg-query -W -f='${Status}' mariadb-server 2>/dev/null | grep -q 'ok installed'; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
      -o DPkg::Lock::Timeout=600 mariadb-server
  fi
  mysql -e 'SELECT 1' >/dev/null 2>&1 && return 0
  install -d -o mysql -g root /run/mysqld
  (exec setsid /usr/sbin/mariadbd --user=mysql --skip-networking --skip-log-bin </dev/null \
     >"$work/mariadbd.out" 2>&1 9>&-) &
  echo $! >"$work/mariadbd.pid"
  until_true 60 mysql -e 'SELECT 1' || fail "the database server did not start"
}

install_packages() {
  ! dpkg-query -W brix >/dev/null 2>&1 || fail "a brix package is installed already: left alone"
  touch "$work/installing"
  database_up
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 \
    "$(deb brix)" "$(deb brix-dev)"
  mysql </usr/share/brix/setup-database.sql
}

# The installed daemon, run as the unit runs it: the folders systemd makes for its user, the
# working folder, the user, the program, standard output appended to its file.
start_as_unit() {
  local user dir out
  user=$(unit_value User $unit)
  for d in /run/"$(unit_value RuntimeDirectory $unit)" /var/lib/"$(unit_value StateDirectory $unit)" \
           /var/log/"$(unit_value LogsDirectory $unit)"; do
    install -d -o "$user" -g "$(unit_value Group $unit)" -m 755 "$d"
  done
  dir=$(unit_value WorkingDirectory $unit)
  dir=${dir:-/}
  out=$(unit_value StandardOutput $unit)
  [[ $out == append:/* ]] || fail "standard output goes to $out"
  log=${out#append:}
  runuser -u "$user" -- test -w "$dir" || fail "the service cannot write its working folder $dir"
  (cd "$dir" && exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    setpriv --reuid="$user" --regid="$(unit_value Group $unit)" --init-groups --no-new-privs \
    $(unit_value ExecStart $unit)) >>"$log" 2>"$work/daemon.err" 9>&- &
  daemon=$!
  until_true 20 grep -q '^run next\.\.\.$' "$log" || fail "not started: $(cat "$work/daemon.err")"
}

serve() {
  exec 9>/tmp/brix-port-1995.lock
  flock -w 900 9 || fail "port 1995 stayed locked for 15 minutes"
  start_as_unit
  # As systemd does when the service stops, the runtime folder goes.
  trap 'kill -KILL $daemon 2>/dev/null || true; rm -rf "/run/$(unit_value RuntimeDirectory $unit)"' EXIT
  [ "$(brix-call)" = "Hello, world!" ] || fail "brix-call did not get Hello"
  brix-call cgilet=guestbook action=add name=Deb 'message=from the package'
  brix-call cgilet=guestbook | grep -q '^#[0-9]* Deb: from the package$' ||
    fail "the guestbook does not list the entry: $(brix-call cgilet=guestbook)"
  # 2,000 requests a second for 10 s: five trace lines each, all in the file.
  local before
  before=$(wc -l <"$log")
  "$work/load_gen" --rate 2000 --seconds 10 --concurrency 20 | tee "$work/load"
  grep -q 'requests=20000 errors=0 ' "$work/load" || fail "not 20,000 answers"
  lines() { [ $(($(wc -l <"$log") - before)) -eq 100000 ]; }
  until_true 10 lines || fail "$(($(wc -l <"$log") - before)) trace lines for 20,000 requests"
  [ "$(tail -n 100000 "$log" | grep -c '^cgilet="hello"$')" -eq 20000 ] || fail "requests missing"
  # Rotated while it runs: the next request's lines start the emptied file, no hole before them.
  logrotate -f -s "$work/logrotate.state" /etc/logrotate.d/brix
  [ "$(brix-call)" = "Hello, world!" ] || fail "no Hello after the rotation"
  until_true 10 eval '[ "$(wc -l <"$log")" -eq 5 ]' || fail "$(wc -l <"$log") lines after rotating"
  ! grep -q -P '\x00' "$log" || fail "the file has a hole after rotating"
  kill -s "$(unit_value KillSignal $unit | sed 's/^SIG//')" "$daemon"
  local status=0 started
  started=$(date +%s%N)
  wait "$daemon" || status=$?
  echo "stopped after $((($(date +%s%N) - started) / 1000000)) ms"
  [ "$status" -eq 0 ] || fail "the daemon exited with $status"
  [ "$(tail -n 1 "$log")" = "done..." ] || fail "no orderly stop: $(tail -n 3 "$log")"
}

sdk() {
  cmake -S "$root/examples/my_cgilet" -B "$work/my_cgilet_installed" -G Ninja
  cmake --build "$work/my_cgilet_installed"
}

# The same tree built again with a higher version in its changelog (no clean: nothing compiles).
upgrade() {
  local src=$root/build/deb/src version
  cp "$src/debian/changelog" "$work/changelog"
  sed -i '1s/(\([^)]*\))/(\1+1)/' "$src/debian/changelog"
  version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
  local status=0
  (cd "$src" && dpkg-buildpackage -b -us -uc -nc) >"$work/rebuild-output" 2>&1 || status=$?
  cp "$work/changelog" "$src/debian/changelog"
  [ $status -eq 0 ] || fail "the rebuild failed: $(tail -n 5 "$work/rebuild-output")"
  mv "$root"/build/deb/*_"$version"_* "$work/"
  echo '"again","/usr/lib/brix/cgilets/hello.so","make_hello","none"' >>/etc/brix/cgi.csv
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 \
    "$work/brix_${version}_$(dpkg --print-architecture).deb" \
    "$work/brix-dev_${version}_$(dpkg --print-architecture).deb"
  [ "$(dpkg-query -W -f='${Version}' brix)" = "$version" ] || fail "brix $version not installed"
  grep -q '^"again",' /etc/brix/cgi.csv || fail "the edited catalog was replaced"
}

purge() {
  local files left=()
  files=$(dpkg -L brix brix-dev)
  apt-get purge -y -q brix brix-dev >/dev/null
  while IFS= read -r f; do
    # Folders the packages share with others (/usr/bin, /lib and the like) stay.
    if [ -d "$f" ]; then
      [[ ${f,,} != */brix* ]] || left+=("$f")
    elif [ -e "$f" ] || [ -L "$f" ]; then
      left+=("$f")
    fi
  done <<<"$files"$'\n/var/lib/brix\n/var/log/brix\n/run/brix'
  [ ${#left[@]} -eq 0 ] || fail "left behind: ${left[*]}"
}

# Undoes whatever installing did, whatever state it stopped in.
clean_up() {
  [ -f "$work/installing" ] || return 0
  apt-get purge -y -q brix brix-dev >/dev/null 2>&1 || true
  rm -rf /run/brix /var/lib/brix /var/log/brix
  mysql -e "DROP DATABASE IF EXISTS brix; DROP USER IF EXISTS 'brix'@'localhost'" 2>/dev/null
  if [ -f "$work/mariadbd.pid" ]; then
    mysql -e SHUTDOWN 2>/dev/null
    until_true 30 eval '! kill -0 "$(cat "$work/mariadbd.pid")" 2>/dev/null'
  fi
}

check build
if [ -s "$work/paths" ]; then
  check contents
  if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ]; then
    trap clean_up EXIT
    g++ -std=c++17 -O2 -pthread "$root/bench/load_gen.cpp" -o "$work/load_gen"
    if check install_packages; then
      check serve
      check sdk
      check upgrade
      check purge
    fi
  else
    echo "skipped install (installs for real: only in CI, as root)"
  fi
fi
[ "$failed" -eq 0 ]

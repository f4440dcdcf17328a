#!/usr/bin/env bash
# A throwaway MariaDB server for the tests and for running the daemon on this machine: no systemd,
# its own data folder under build/ (never /var/lib/mysql), listening on the default port on the
# addresses the machine's host name resolves to and on 127.0.0.1, with the accounts and databases
# the daemon and its tests use.
#
# Usage: tools/db-server.sh start|stop|kill|restart|status|freeze|thaw
#   start    installs the server if missing, starts it unless it runs already, and returns once a
#            real TCP login as the daemon's user works (or fails after a deadline)
#   stop     orderly shutdown, waits until the process is gone
#   kill     SIGKILL, a crash: the next start recovers the data
#   restart  stop (if running), then start
#   status   exit 0 and "running" when this server runs and accepts a login, 3 otherwise
#   freeze   SIGSTOP: the server keeps its connections and its port but answers nothing
#   thaw     SIGCONT: a frozen server goes on
# A server on the port that this script did not start is never touched: start fails with a clear
# message and a non-zero status.
#
# Environment (defaults are the daemon's build-time credentials):
#   BRIX_DB_USER (root), BRIX_DB_PASSWORD (x9mf3qa), BRIX_DB_PORT (3306),
#   BRIX_DB_DIR (build/db-server), BRIX_DB_START_TIMEOUT (seconds, 60)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

user=${BRIX_DB_USER:-root}
password=${BRIX_DB_PASSWORD:-x9mf3qa}
port=${BRIX_DB_PORT:-3306}
dir=${BRIX_DB_DIR:-$root/build/db-server}
start_timeout=${BRIX_DB_START_TIMEOUT:-60}
host=$(hostname)

datadir=$dir/data
socket=$dir/mysqld.sock
pidfile=$dir/mysqld.pid
errlog=$dir/mysqld.err
initfile=$dir/init.sql

# Databases the tests and cgilets use: the daemon's own and a second catalog to switch to.
databases=(test test2)

say() { echo "db-server: $*"; }
die() {
  echo "db-server: $*" >&2
  exit 1
}

# The pid of the server this script started, if that process still runs; empty otherwise.
our_pid() {
  local pid
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile" 2>/dev/null || true)
  [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 0
  # The pid may have been reused: it is ours only if it runs on our data folder.
  if tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "--datadir=$datadir "; then
    echo "$pid"
  fi
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }

# A real login over TCP to the host name, as the daemon makes it.
login_works() {
  mariadb --no-defaults --protocol=TCP -h "$host" -P "$port" -u "$user" -p"$password" \
    --connect-timeout=2 -e 'SELECT 1' >/dev/null 2>&1
}

bind_addresses() {
  {
    echo 127.0.0.1
    getent ahostsv4 "$host" 2>/dev/null | awk '{print $1}'
  } | sort -u | paste -sd, -
}

write_init_file() {
  local h
  {
    for d in "${databases[@]}"; do
      echo "CREATE DATABASE IF NOT EXISTS \`$d\`;"
    done
    # A TCP login from 127.x matches user@localhost; the other patterns cover the host name, its
    # addresses and IPv6 loopback. Password logins need mysql_native_password on each of them.
    for h in localhost 127.0.0.1 ::1 "$host" %; do
      echo "CREATE USER IF NOT EXISTS '$user'@'$h';"
      echo "ALTER USER '$user'@'$h' IDENTIFIED VIA mysql_native_password USING PASSWORD('$password');"
      echo "GRANT ALL PRIVILEGES ON *.* TO '$user'@'$h' WITH GRANT OPTION;"
    done
    echo "FLUSH PRIVILEGES;"
  } >"$initfile"
}

ensure_installed() {
  if ! command -v mariadb >/dev/null || ! command -v mariadb-install-db >/dev/null ||
    ! [ -x /usr/sbin/mariadbd ]; then
    "$root/tools/install-deps.sh" || die "installing the MariaDB packages failed"
  fi
}

wait_gone() {  # pid, seconds
  local pid=$1 deadline=$((SECONDS + $2))
  while [ -e "/proc/$pid" ]; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

do_start() {
  ensure_installed
  local pid
  pid=$(our_pid)
  if [ -n "$pid" ]; then
    if wait_for_login "$pid"; then
      say "running already (pid $pid)"
      return 0
    fi
    die "the server (pid $pid) runs but refuses logins; see $errlog"
  fi
  if port_open; then
    die "port $port is in use by a server this script did not start; stop it or set BRIX_DB_PORT"
  fi
  mkdir -p "$dir"
  local as_user=()
  [ "$(id -u)" -ne 0 ] || as_user=(--user=root)
  if [ ! -d "$datadir/mysql" ]; then
    rm -rf "$datadir"
    mariadb-install-db --no-defaults "${as_user[@]}" --datadir="$datadir" \
      --auth-root-authentication-method=normal --skip-test-db --innodb-log-file-size=8M \
      >"$dir/install-db.log" 2>&1 || die "creating the data folder failed; see $dir/install-db.log"
  fi
  write_init_file
  rm -f "$pidfile"
  local addresses
  addresses=$(bind_addresses)
  (
    # The server outlives this script: it keeps none of the descriptors the caller handed down
    # (the lock above, a test runner's pipes, a Windows emulator's own channels).
    for fd in /proc/self/fd/*; do
      fd=${fd##*/}
      [ "$fd" -gt 2 ] && eval "exec $fd>&-" 2>/dev/null
    done
    exec setsid /usr/sbin/mariadbd --no-defaults "${as_user[@]}" --datadir="$datadir" \
      --socket="$socket" --pid-file="$pidfile" --log-error="$errlog" \
      --port="$port" --bind-address="$addresses" --init-file="$initfile" \
      --innodb-log-file-size=8M --innodb-buffer-pool-dump-at-shutdown=0 \
      --innodb-buffer-pool-load-at-startup=0 --skip-log-bin \
      </dev/null >>"$dir/mysqld.out" 2>&1
  ) &
  local started=$!
  # Until the server writes its pid file, the process we started stands for it.
  wait_for_login "$started" || {
    tail -n 15 "$errlog" >&2 2>/dev/null || true
    kill -KILL "$started" 2>/dev/null || true
    die "the server did not accept a login within ${start_timeout}s; see $errlog"
  }
  say "started (pid $(our_pid)), listening on $(bind_addresses) port $port"
}

wait_for_login() {  # pid of the server process
  local pid=$1 deadline=$((SECONDS + start_timeout))
  until login_works; do
    [ -e "/proc/$pid" ] || return 1
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

do_stop() {
  local pid
  pid=$(our_pid)
  if [ -z "$pid" ]; then
    say "not running"
    return 0
  fi
  mariadb --no-defaults --socket="$socket" -u "$user" -p"$password" -e SHUTDOWN >/dev/null 2>&1 ||
    kill -TERM "$pid" 2>/dev/null || true
  if ! wait_gone "$pid" 30; then
    say "no orderly stop within 30s; killing pid $pid"
    kill -KILL "$pid" 2>/dev/null || true
    wait_gone "$pid" 10 || die "pid $pid does not end"
  fi
  rm -f "$pidfile"
  say "stopped"
}

do_kill() {
  local pid
  pid=$(our_pid)
  if [ -z "$pid" ]; then
    say "not running"
    return 0
  fi
  kill -KILL "$pid"
  wait_gone "$pid" 10 || die "pid $pid does not end after SIGKILL"
  rm -f "$pidfile"
  say "killed pid $pid"
}

do_status() {
  local pid
  pid=$(our_pid)
  if [ -n "$pid" ] && login_works; then
    say "running (pid $pid, port $port)"
    return 0
  fi
  if [ -n "$pid" ]; then
    say "process $pid runs but refuses logins"
  elif port_open; then
    say "not running; port $port is held by another server"
  else
    say "not running"
  fi
  return 3
}

cmd=${1:-}
case "$cmd" in
  start | stop | kill | restart) ;;
  freeze | thaw)
    pid=$(our_pid)
    [ -n "$pid" ] || die "no server of ours runs"
    if [ "$cmd" = freeze ]; then kill -STOP "$pid"; else kill -CONT "$pid"; fi
    exit
    ;;
  status)
    do_status
    exit
    ;;
  *)
    echo "usage: $0 start|stop|kill|restart|status|freeze|thaw" >&2
    exit 2
    ;;
esac

# One command at a time: tests may ask for a restart while another command is on its way.
mkdir -p "$dir"
exec 9>"$dir/.lock"
flock 9
case "$cmd" in
  start) do_start ;;
  stop) do_stop ;;
  kill) do_kill ;;
  restart)
    do_stop
    do_start
    ;;
esac

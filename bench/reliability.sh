#!/usr/bin/env bash
# Reliability scenarios against the real daemon (release build, port 1995): misbehaving clients
# and stops under load. Prints, per scenario, what was answered, cut off and waited for.
#
# Usage: [BRIX_BENCH_PORT=PORT] bench/reliability.sh [BRIX [SCENARIO ...]]
#   BRIX  the daemon to run (default: build/release/bin/brix), e.g. the release build of another
#         checkout, to compare before and after a change. The release preset of this checkout is
#         built first either way: it gives the load generator.
#   SCENARIO  the numbers of the scenarios to run (default: all)
#   BRIX_BENCH_PORT  the port the daemon was built to listen on (default 1995, BRIX_PORT)
#
#   1. ten silent and ten dribbling clients (a byte every 5 s), then one normal request: was it
#      answered, and after how long (given up after 60 s)?
#   2. stop (SIGINT) with ten silent clients connected, and with one dribbling client: how long
#      until the daemon has ended, and with what status (killed after 60 s)?
#   3. stop under load, three runs: forty clients hammer "hello" until they are refused, SIGINT
#      after a second; connections accepted ("fd:" lines) against requests served ("process
#      request..." lines) against clients answered, and clients cut off (connected, no response).
#   4. a frozen database: with ten clients asking the guestbook, "hello" requests per second
#      (ten clients) in 4-second windows: before, during a 20-second freeze (SIGSTOP), after.
#   5. a crowd of 150 silent clients queued behind the workers, then one normal request: was it
#      answered, and after how long? Then SIGTERM with 150 silent clients connected: how long
#      until the daemon has ended, and with what status?
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
bin=$root/build/release/bin
brix=${1:-$bin/brix}
shift || true
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=(1 2 3 4 5)
wanted() { [[ " ${scenarios[*]} " == *" $1 "* ]]; }
out=$root/build/bench
mkdir -p "$out"

port=${BRIX_BENCH_PORT:-1995}
if [ "$port" = 1995 ]; then
  # Port 1995 is shared with the Windows service tests of this machine. Held on descriptor 8,
  # which the programs started below do not inherit (8>&-), so none keeps the lock after the run.
  exec 8>/tmp/brix-port-1995.lock
  flock 8
fi

db_started=
if ! tools/db-server.sh status >/dev/null 2>&1 && tools/db-server.sh start >/dev/null 8>&-; then
  db_started=1
fi
daemon_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill -KILL "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  [ -n "$db_started" ] && tools/db-server.sh stop >/dev/null
  true
}
trap cleanup EXIT

start_daemon() {
  "$brix" >"$out/reliability-trace.log" 2>/dev/null 8>&- &
  daemon_pid=$!
  for _ in $(seq 1 200); do
    (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && return 0
    sleep 0.05
  done
  echo "reliability: the daemon does not listen" >&2
  exit 1
}

# Sends SIGINT (or the signal named by `stop_signal`) and sets `stopped` to how long the daemon
# took to end and its status (killed after 60 s). Not in a subshell: the daemon must be this
# shell's child to take its status.
stop_daemon() {
  local begin end status
  begin=$(date +%s.%N)
  kill -"${stop_signal:-INT}" "$daemon_pid"
  for _ in $(seq 1 600); do
    kill -0 "$daemon_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$daemon_pid" 2>/dev/null; then
    kill -KILL "$daemon_pid"
    wait "$daemon_pid" 2>/dev/null || true
    status="still running after 60 s: killed"
  else
    wait "$daemon_pid" && status=0 || status=$?
  fi
  end=$(date +%s.%N)
  daemon_pid=
  stopped=$(awk -v b="$begin" -v e="$end" -v s="$status" \
    'BEGIN {printf "ended_after_s=%.1f status=%s", e - b, s}')
}

if wanted 1; then
echo "1. ten silent + ten dribbling clients, then one request:"
start_daemon
echo "   $("$bin/load_gen" --port "$port" --silent 10 --dribble 10 --probe 60)"
stop_daemon
fi

# Starts the daemon, connects misbehaving clients (load_gen options), stops it and prints how
# long the stop took.
stop_with_clients() {
  start_daemon
  "$bin/load_gen" --port "$port" "$@" --hold 90 &
  local holder=$!
  sleep 1
  stop_daemon
  echo "   $stopped"
  kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null || true
}

if wanted 2; then
echo "2. stop with ten silent clients connected:"
stop_with_clients --silent 10
echo "   stop with one dribbling client connected:"
stop_with_clients --dribble 1
fi

if wanted 3; then
echo "3. stop under load (40 clients):"
for run in 1 2 3; do
  start_daemon
  "$bin/load_gen" --port "$port" --concurrency 40 --until-refused >"$out/reliability-load.txt" 2>/dev/null &
  load=$!
  sleep 1
  stop_daemon
  wait "$load" || true
  # Less one each for the connection of the readiness check in start_daemon.
  accepted=$(($(grep -o 'fd: ' "$out/reliability-trace.log" | wc -l) - 1))
  served=$(($(grep -o 'process request\.\.\.' "$out/reliability-trace.log" | wc -l) - 1))
  echo "   run $run: accepted=$accepted served=$served $(grep -o 'answered=.*' "$out/reliability-load.txt") $stopped"
done
fi

if wanted 4; then
echo "4. hello requests/s while the database is frozen (guestbook load beside):"
start_daemon
"$bin/load_gen" --port "$port" --concurrency 10 --seconds 40 --timeout 10 --request 'cgilet=guestbook\n' \
  >/dev/null 2>&1 &
guestbook=$!
hello_rate() { "$bin/load_gen" --port "$port" --concurrency 10 --seconds 4 --timeout 4 2>/dev/null | sed -E 's/.*rps=([0-9]+).*/\1/' || true; }
line="   before: $(hello_rate)  frozen:"
tools/db-server.sh freeze
for _ in 1 2 3 4 5; do line="$line $(hello_rate)"; done
tools/db-server.sh thaw
line="$line  thawed: $(hello_rate) $(hello_rate)"
echo "$line"
wait "$guestbook" || true
stop_daemon
fi

if wanted 5; then
echo "5. a crowd of 150 silent clients queued, then one request:"
start_daemon
echo "   $("$bin/load_gen" --port "$port" --silent 150 --probe 60)"
stop_daemon
echo "   SIGTERM with 150 silent clients connected:"
stop_signal=TERM stop_with_clients --silent 150
fi

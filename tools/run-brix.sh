#!/usr/bin/env bash
# The main job: installs what building and running the daemon needs (tools/install-deps.sh main),
# builds the daemon, brix-call and the example cgilets (preset main: no tests), starts the
# throwaway database, and runs the daemon in the foreground on 127.0.0.1:1995 with the example
# catalog (build/main/bin/cgi.csv). Trace lines go to this terminal; Ctrl+C stops the daemon, then
# the database it started.
# Try it from a second terminal:  build/main/bin/brix-call name=World
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

tools/install-deps.sh main
echo "run-brix: building (preset main)..."
cmake --preset main >/dev/null
cmake --build --preset main
# A database server of our own; if another one already holds the port, the workers use that one.
db_started=
if tools/db-server.sh status >/dev/null 2>&1; then
  echo "run-brix: database server running already"
elif tools/db-server.sh start; then
  db_started=1
else
  echo "run-brix: going on without a database server of our own" >&2
fi

bin=$root/build/main/bin
cat <<TXT

run-brix: starting the daemon; from a second terminal try:
  $bin/brix-call name=World
  $bin/brix-call cgilet=echo colour=blue colour=green 'note=a&b'
  $bin/brix-call cgilet=guestbook action=add name=Ann 'message=Hello there'
  $bin/brix-call cgilet=guestbook
Ctrl+C here stops it.

TXT
# Ctrl+C reaches the daemon (same process group); this script waits for it to stop in order, then
# stops the database.
trap 'true' INT
status=0
"$bin/brix" || status=$?
[ -z "$db_started" ] || tools/db-server.sh stop
exit "$status"

#!/usr/bin/env bash
# Benchmarks the real daemon serving the "hello" cgilet, one connection per request, at several
# concurrency levels: trace lines to a file, then to /dev/null. When nginx can be installed, the
# same load against nginx answering a fixed HTTP/1.0 reply runs in the same script run, so the two
# can be compared as ratios on this (noisy, shared) machine.
#
# Usage: [BRIX_BENCH_PORT=PORT] bench/run-bench.sh [SECONDS_PER_RUN]      (default 3)
# BRIX_BENCH_PORT is the port the release daemon was built to listen on (default 1995, BRIX_PORT).
# BRIX_BENCH_BASELINE names another daemon program (the release build of another checkout, say)
# to run the same load against right after this one, trace lines to a file, so that a change can
# be compared with the code before it in one run: as ratios to nginx and to each other.
# Prints a Markdown table: requests per second, p50/p99 latency, errors, and the daemon's peak
# resident memory (VmHWM) per run. Draws the same runs with gnuplot into build/bench/bench.svg:
# requests per second and p99 latency against concurrency, one line per server and trace setting,
# titled with the commit, the date and the machine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
seconds=${1:-3}
levels=(1 10 50 200)
port=${BRIX_BENCH_PORT:-1995}
out=$root/build/bench
mkdir -p "$out"

tools/install-deps.sh main bench >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
bin=$root/build/release/bin
# The machine is shared: what else ran shows in the load average, which the chart's title gives.
load_before=$(cut -d' ' -f1 /proc/loadavg)
# The hello cgilet needs no database; the workers still connect to one when it runs.
db_started=
if ! tools/db-server.sh status >/dev/null 2>&1; then
  if tools/db-server.sh start >/dev/null; then
    db_started=1
  else
    echo "run-bench: no database server of our own; the workers run without one" >&2
  fi
fi

daemon_pid=
nginx_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill -INT "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  [ -n "$db_started" ] && tools/db-server.sh stop >/dev/null
  true
}
trap cleanup EXIT

# Waits until something accepts connections on 127.0.0.1:$1.
wait_port() {
  for _ in $(seq 1 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "run-bench: nothing listens on port $1" >&2
  return 1
}

row() {  # label, load_gen output line, peak memory
  local label=$1 line=$2 mem=$3
  local c r e rps p50 p99
  c=$(sed -E 's/.*concurrency=([0-9]+).*/\1/' <<<"$line")
  r=$(sed -E 's/.*requests=([0-9]+).*/\1/' <<<"$line")
  e=$(sed -E 's/.*errors=([0-9]+).*/\1/' <<<"$line")
  rps=$(sed -E 's/.*rps=([0-9]+).*/\1/' <<<"$line")
  p50=$(sed -E 's/.*p50_us=([0-9]+).*/\1/' <<<"$line")
  p99=$(sed -E 's/.*p99_us=([0-9]+).*/\1/' <<<"$line")
  printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$label" "$c" "$rps" "$p50" "$p99" "$e" "$mem"
  echo "$label $c $rps" >>"$out/rps.txt"
  # One data file per line of the chart: concurrency, requests/s, p99 latency in ms.
  awk -v c="$c" -v r="$rps" -v p="$p99" 'BEGIN {printf "%s %s %.3f\n", c, r, p / 1000}' \
    >>"$out/series-${label//[^a-z]/_}.dat"
}

: >"$out/rps.txt"
rm -f "$out"/series-*.dat
echo "| server | concurrency | requests/s | p50 µs | p99 µs | errors | peak RSS |"
echo "|---|---|---|---|---|---|---|"
passes=(file null)
[ -z "${BRIX_BENCH_BASELINE:-}" ] || passes=(file baseline null)
for trace in "${passes[@]}"; do
  program=$bin/brix
  label="brix, trace to file"
  case $trace in
    file) trace_to=$out/trace.log ;;
    baseline) trace_to=$out/trace-baseline.log program=$BRIX_BENCH_BASELINE label="baseline, trace to file" ;;
    null) trace_to=/dev/null label="brix, trace to /dev/null" ;;
  esac
  "$program" >"$trace_to" 2>"$out/brix-stderr.log" &
  daemon_pid=$!
  wait_port "$port"
  for c in "${levels[@]}"; do
    line=$("$bin/load_gen" --port "$port" --concurrency "$c" --seconds "$seconds" || true)
    mem=$(awk '/VmHWM/ {print $2 " " $3}' "/proc/$daemon_pid/status")
    row "$label" "$line" "$mem"
  done
  kill -INT "$daemon_pid"
  wait "$daemon_pid" || true
  daemon_pid=
done

# nginx side by side (installed with the set bench, as gnuplot is).
if command -v nginx >/dev/null 2>&1; then
  mkdir -p "$out/nginx"
  cat >"$out/nginx/nginx.conf" <<CONF
worker_processes 2;
pid $out/nginx/nginx.pid;
error_log $out/nginx/error.log;
daemon off;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $out/nginx;
  server {
    listen 127.0.0.1:18080 backlog=4096;
    location / { return 200 "Hello, bench!\n"; }
  }
}
CONF
  nginx -c "$out/nginx/nginx.conf" &
  nginx_pid=$!
  wait_port 18080
  for c in "${levels[@]}"; do
    line=$("$bin/load_gen" --port 18080 --http --concurrency "$c" --seconds "$seconds" || true)
    row "nginx" "$line" "-"
  done
  kill "$nginx_pid"
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=
  echo
  echo "Ratio brix (trace to file) / nginx, same run${BRIX_BENCH_BASELINE:+; then baseline / nginx and brix / baseline}:"
  for c in "${levels[@]}"; do
    b=$(awk -v c="$c" '$1=="brix," && $4=="file" && $5==c {print $6}' "$out/rps.txt")
    o=$(awk -v c="$c" '$1=="baseline," && $5==c {print $6}' "$out/rps.txt")
    n=$(awk -v c="$c" '$1=="nginx" && $2==c {print $3}' "$out/rps.txt")
    [ -n "$b" ] && [ -n "$n" ] && [ "$n" -gt 0 ] &&
      awk -v b="$b" -v n="$n" -v o="${o:-0}" -v c="$c" 'BEGIN {
        printf "  concurrency %s: %.2f", c, b / n
        if (o > 0) printf "  %.2f  %.2f", o / n, b / o
        printf "\n" }'
  done
else
  echo "(nginx could not be installed: no comparison run)"
fi

# The chart: one line per series file, in the order the runs were made.
title="brix $(git rev-parse --short HEAD 2>/dev/null || echo '?'), $(date -u '+%Y-%m-%d %H:%M UTC'),"
title+=" $(nproc) cores shared with the load generator (load average $load_before before), ${seconds} s per point"
plot_rps="" plot_p99=""
for label in "brix, trace to file" "baseline, trace to file" "brix, trace to /dev/null" "nginx"; do
  data=$out/series-${label//[^a-z]/_}.dat
  [ -s "$data" ] || continue
  plot_rps+="${plot_rps:+, }'$data' using 1:2 with linespoints lw 2 title '$label'"
  plot_p99+="${plot_p99:+, }'$data' using 1:3 with linespoints lw 2 title '$label'"
done
# The plot commands stay in build/bench/bench.gp, to draw the same chart on another terminal.
cat >"$out/bench.gp" <<GNUPLOT
set multiplot layout 1,2 title "$title" font 'sans,11'
set logscale x
set xrange [0.8:250]
set xtics (1, 10, 50, 200)
set xlabel 'concurrent clients'
set grid
set key bottom right
set ylabel 'requests per second'
set yrange [0:*]
plot $plot_rps
set ylabel 'p99 latency (ms)'
set logscale y
set yrange [*:*]
set key top left
plot $plot_p99
unset multiplot
GNUPLOT
gnuplot -e "set terminal svg size 960,420 dynamic font 'sans,12' background '#ffffff'" \
  -e "set output '$out/bench.svg'" "$out/bench.gp"
echo
echo "Chart: $out/bench.svg"

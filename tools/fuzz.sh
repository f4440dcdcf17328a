#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang with AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer) and runs them side by side, each for a fixed time, from the seed
# corpus in tests/fuzz/corpus/<target>/. Inputs that reach new code are kept in build/fuzz/corpus/<target>/
# (never in the repository), so longer runs go on where earlier ones stopped. Prints "ok NAME",
# or "FAILED NAME" with the command that replays the input at fault; exits non-zero on any failure.
#
# Usage: tools/fuzz.sh [SECONDS] [TARGET ...]   (default: 20 s each; request_line csv_reader read_line)
#   For a long run: tools/fuzz.sh 3600 read_line
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
seconds=${1:-20}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(request_line csv_reader read_line)
out=$root/build/fuzz

if ! { cmake --preset fuzz >"$out-configure.log" 2>&1 && cmake --build --preset fuzz >"$out-build.log" 2>&1; }; then
  tail -n 30 "$out-build.log" 2>/dev/null || tail -n 30 "$out-configure.log"
  echo "FAILED fuzz-build (see build/fuzz-*.log)"
  exit 1
fi

# Each target runs in a process of its own, all side by side; their reports follow in order.
fuzz_target() {
  local target=$1
  local program=$out/bin/fuzz_$target corpus=$out/corpus/$target crashes=$out/crashes/$target
  local log=$out/$target.log input
  mkdir -p "$corpus" "$crashes"
  # -close_fd_mask=1: the targets' own output would drown the report.
  if "$program" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 -close_fd_mask=1 \
      -artifact_prefix="$crashes/" "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    echo "ok fuzz_$target ($(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo '?') runs in ${seconds} s)"
  else
    grep -E -m 5 'ERROR|SUMMARY|==[0-9]+==' "$log" | sed 's/^/  /'
    input=$(grep -o -m 1 "Test unit written to [^ ]*" "$log" | sed 's/Test unit written to //')
    echo "FAILED fuzz_$target (log: $log)"
    [ -n "$input" ] && echo "  replay: $program $input"
    return 1
  fi
}

pids=()
for target in "${targets[@]}"; do
  fuzz_target "$target" >"$out/$target.report" &
  pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
  wait "${pids[$i]}" || status=1
  cat "$out/${targets[$i]}.report"
done
exit $status

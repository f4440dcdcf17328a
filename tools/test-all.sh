#!/usr/bin/env bash
# The test command: installs what is missing, builds every preset, starts the services the tests
# need (the test database server, a Wine server kept alive for the Windows tests), runs every
# suite and ends with one line "N passed, N failed". Exit status 0 only when everything built
# and passed.
#
# Usage: tools/test-all.sh [PRESET ...]     (default: native asan tsan windows fuzz deb)
#   deb is not a CMake preset but the Debian package's tests (tests/deb/package_test.sh); in CI
#   (CI=true, as root) they install the package for real and remove it again.
#   fuzz runs each libFuzzer target for BRIX_FUZZ_SECONDS (default 20) through tools/fuzz.sh.
# Environment: BRIX_TEST_JOBS (parallel tests per preset, default 2).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(native asan tsan windows fuzz deb)
jobs=${BRIX_TEST_JOBS:-2}
logs="$root/build/test-logs"

"$root/tools/install-deps.sh" || { echo "test-all: installing dependencies failed"; exit 1; }
mkdir -p "$logs"

passed=0 failed=0 skipped=0
problems=()

cleanup() {
  if [ -n "${wine_started:-}" ]; then
    WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1 || true
  fi
  if [ -n "${db_started:-}" ]; then
    "$root/tools/db-server.sh" stop >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

# The database tests run against a MariaDB server of our own (tools/db-server.sh); it is stopped
# on the way out if this run started it. Without it the database tests skip on a developer
# machine and fail in continuous integration.
if "$root/tools/db-server.sh" status >/dev/null 2>&1; then
  echo "=== database server: running already"
else
  echo "=== database server: start"
  db_started=1
  if ! "$root/tools/db-server.sh" start; then
    problems+=("database server did not start")
  fi
fi

needs_windows=
for p in "${presets[@]}"; do [ "$p" = windows ] && needs_windows=1; done
if [ -n "$needs_windows" ]; then
  export WINEPREFIX="$root/build/wine-prefix"
  # The first call makes the prefix; then one wineserver stays alive for the whole run, so that
  # services survive between wine calls and each wine start is cheap.
  "$root/tools/wine-run" cmd /c exit 0 >/dev/null 2>&1 || true
  WINEPREFIX="$WINEPREFIX" wineserver -p
  wine_started=1
fi

for p in "${presets[@]}"; do
  if [ "$p" = deb ] || [ "$p" = fuzz ]; then
    # Scripts that print "ok NAME", "FAILED NAME" or "skipped NAME" for each check.
    if [ "$p" = deb ]; then
      echo "=== deb: package tests"
      "$root/tests/deb/package_test.sh" >"$logs/$p-test.log" 2>&1
    else
      echo "=== fuzz: each target for ${BRIX_FUZZ_SECONDS:-20} s"
      "$root/tools/fuzz.sh" "${BRIX_FUZZ_SECONDS:-20}" >"$logs/$p-test.log" 2>&1
    fi
    script_status=$?
    grep -E '^(ok|FAILED|skipped|  replay:) ' "$logs/$p-test.log"
    ok=$(grep -c '^ok ' "$logs/$p-test.log")
    bad=$(grep -c '^FAILED ' "$logs/$p-test.log")
    skip=$(grep -c '^skipped ' "$logs/$p-test.log")
    # A script that stopped without reporting a failure has failed all the same.
    [ "$script_status" -eq 0 ] || [ "$bad" -gt 0 ] || bad=1
    passed=$((passed + ok))
    failed=$((failed + bad))
    skipped=$((skipped + skip))
    [ "$bad" -eq 0 ] || problems+=("$bad failing in $p (see build/test-logs/$p-test.log)")
    continue
  fi
  if [ "$p" = windows ]; then
    # The Windows client library is cross-built from source once and cached in build/.
    echo "=== windows: MySQL client library"
    if ! "$root/tools/build-mariadb-win.sh" 2>"$logs/mariadb-win.log"; then
      cat "$logs/mariadb-win.log"
      windows_db_missing=$(tail -n 1 "$logs/mariadb-win.log")
    fi
  fi
  echo "=== $p: configure and build"
  if ! { cmake --preset "$p" >"$logs/$p-configure.log" 2>&1 &&
         cmake --build --preset "$p" >"$logs/$p-build.log" 2>&1; }; then
    echo "test-all: build of preset $p failed; see build/test-logs/$p-*.log"
    tail -n 30 "$logs/$p-build.log" 2>/dev/null || tail -n 30 "$logs/$p-configure.log"
    problems+=("build $p")
    failed=$((failed + 1))
    continue
  fi

  if [ "$p" = windows ] && grep -q '^BRIX_HAVE_MYSQL:INTERNAL=OFF' "build/$p/CMakeCache.txt"; then
    windows_db_missing=${windows_db_missing:-"CMake found no client library (see $logs/$p-configure.log)"}
  fi

  echo "=== $p: tests"
  ctest --preset "$p" --parallel "$jobs" 2>&1 | tee "$logs/$p-test.log" |
    grep -E '(\*\*\*|\(Failed\)|Not Run|tests passed|\(Skipped\))' || true
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$logs/$p-test.log" | tail -n 1)
  if [ -z "$summary" ]; then
    if grep -q 'No tests were found' "$logs/$p-test.log"; then
      echo "test-all: preset $p has no tests"
    else
      echo "test-all: ctest for preset $p did not finish; see build/test-logs/$p-test.log"
      problems+=("ctest $p")
      failed=$((failed + 1))
    fi
    continue
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
  skip=$(grep -c -E '\(Skipped\)$' "$logs/$p-test.log" || true)
  passed=$((passed + total - bad - skip))
  failed=$((failed + bad))
  skipped=$((skipped + skip))
  [ "$bad" -eq 0 ] || problems+=("$bad failing in $p")
done

echo
if [ -n "${windows_db_missing:-}" ]; then
  echo "############################################################################"
  echo "## THE WINDOWS DATABASE TESTS DID NOT RUN: the Windows build has no MySQL"
  echo "## client library, so sql_client and its tests were left out of it."
  echo "## Why: $windows_db_missing"
  echo "############################################################################"
fi
if [ ${#problems[@]} -gt 0 ]; then
  echo "Problems: ${problems[*]}"
fi
if [ "$skipped" -gt 0 ]; then
  echo "$passed passed, $failed failed, $skipped skipped"
else
  echo "$passed passed, $failed failed"
fi
[ "$failed" -eq 0 ]

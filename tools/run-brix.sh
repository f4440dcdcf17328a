#!/usr/bin/env bash
# The main job: installs what is missing, builds brix and runs the daemon in the foreground.
# The daemon itself is not built yet: for now this builds the toolkit libraries and says so.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
tools/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native
echo
echo "brix: the toolkit (sockets, threads and work queue, CSV reader, form decoding) is built in"
echo "build/native. The daemon does not exist yet, so there is nothing to run; tools/test-all.sh"
echo "runs every test."

#!/usr/bin/env bash
# Builds the tool alone (installing only what that needs) and runs it with the arguments given.
# It builds in build-run/, without the tests: build/ is scripts/test.sh's, configured with them, and
# sharing it would reconfigure one way or the other at every switch between the two scripts.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$top/build-run"
"$top/scripts/install-deps.sh" build >/dev/null

# The tool's own output is all that shows; what the build said is shown only when it fails.
mkdir -p "$build"
log="$build/run-build.log"
if ! { cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_TESTING=OFF && cmake --build "$build" --target mx40r; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "run.sh: building the tool failed (the log is $log)" >&2
  exit 1
fi
exec "$build/cli/mx40r" "$@"

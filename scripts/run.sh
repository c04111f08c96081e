#!/usr/bin/env bash
# Builds the tool (installing what it needs) and runs it with the arguments given.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/install-deps.sh" >/dev/null
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" --target mx40r >/dev/null
exec "$top/build/cli/mx40r" "$@"

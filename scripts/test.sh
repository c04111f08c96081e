#!/usr/bin/env bash
# Builds the tool and every test, runs them, then does the same once more under AddressSanitizer
# and UndefinedBehaviorSanitizer, fuzzes the reply judges, and last cross-builds the Windows exe and tests it under Wine.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all

jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DMX40R_SANITIZE=ON
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize -j "$jobs" --output-on-failure

# Every reply and datagram judge under libFuzzer, for a short fixed time each.
scripts/fuzz.sh 20

# The Windows exe, cross-built, and its tests under Wine (the e2e suite is the one built above).
scripts/test-windows.sh

#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) in
# build-fuzz and runs each for a fixed time; exits non-zero when any of them finds a crash.
#   scripts/fuzz.sh [SECONDS]     (default 20 per target; MX40R_FUZZ_BUILD names another folder)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
build="${MX40R_FUZZ_BUILD:-build-fuzz}"
targets=(fuzz_rtu_reply fuzz_tcp_reply fuzz_icmp_datagram)

scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DMX40R_SANITIZE=ON -DMX40R_FUZZ=ON >/dev/null
cmake --build "$build" --target "${targets[@]}"

status=0
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  echo "== $target: ${seconds} s"
  # Crash inputs land in the build folder, so that a failure replays as: tests/fuzz/$target FILE.
  if ! (cd "$build" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$target-" "corpus/$target" 2>&1 | tail -n 20); then
    echo "== $target FAILED"
    status=1
  fi
done
exit "$status"

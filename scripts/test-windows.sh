#!/usr/bin/env bash
# The Windows leg of the test run: cross-builds mx40r.exe and the device-free unit tests with
# mingw-w64 into build-win/, then runs under Wine, in a throw-away prefix, those unit tests and the
# native e2e suite of the Linux leg (build/tests/e2e/e2e_tests) against the exe. Exits non-zero on
# any failure. Where Wine is missing it says so and skips the runs, except in CI (CI=true), where
# that is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
legStart=$SECONDS

cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release
cmake --build build-win -j "$jobs"
echo "Windows leg: build-win/cli/mx40r.exe is $(stat -c %s build-win/cli/mx40r.exe) bytes"

if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
  if [ "${CI:-}" = true ]; then
    echo "Windows leg: FAILED: wine is not installed, and CI must run the tests under Wine"
    exit 1
  fi
  echo "Windows leg: SKIPPED the tests under Wine: wine is not installed" \
    "(scripts/install-deps.sh all installs it)"
  exit 0
fi
e2eTests=build/tests/e2e/e2e_tests
if [ ! -x "$e2eTests" ]; then
  echo "Windows leg: FAILED: $e2eTests is missing; the Linux leg builds it"
  exit 1
fi

# One prefix for the whole leg, made here and removed at the end. No display, so that the notice's
# message box cannot be shown; no Mono, Gecko or menu entries, which a test run never needs.
prefix=$PWD/build-win/wineprefix
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
wineLog=build-win/wine.log
: >"$wineLog"

# Also run first, for the server of an earlier run that was cut short.
stopWine() {
  if [ -d "$prefix" ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
  rm -rf "$prefix"
}
stopWine
trap stopWine EXIT

# The server and the helper processes that the first run starts (services, device drivers) stay
# up for the whole leg, with their output in the log: started by a test instead, they would hold
# that test's pipes open. The server's own output is left out: stopped, it lists every object it
# held, some fifty megabytes.
mkdir -p "$prefix"
wineserver -p >/dev/null 2>&1
bootStart=$(date +%s%N)
wineboot -i >>"$wineLog" 2>&1
echo "Windows leg: Wine prefix made in $((($(date +%s%N) - bootStart) / 1000000)) ms"

ctest --test-dir build-win -j "$jobs" --output-on-failure --timeout 120

# One process, so one test at a time: every test owns the prefix's COM links while it runs. The
# time limit only stops a hung leg; every run of the tool has its own, far shorter one. The exe's
# path is quoted for the e2e suite, which splits MX40R_TOOL into words: the checkout's path may
# hold a space.
MX40R_TOOL="wine \"$PWD/build-win/cli/mx40r.exe\"" MX40R_WINE_PREFIX=$prefix \
  timeout --kill-after=10 1800 "$e2eTests"

echo "Windows leg: passed in $((SECONDS - legStart)) s"

#!/usr/bin/env bash
# COMGETSTATUS against the module simulator on a pseudo-terminal: the polling cycle's period over
# the least the tool's own waits allow (three 250 ms reply waits and the 1000 ms pause; a pty adds
# no time on the wire), the CPU time per cycle and the peak memory of the tool.
#   bench/comgetstatus.sh [CYCLES]     (default 12; at least 10)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cycles="${1:-12}"
((cycles >= 10)) || { echo "at least 10 cycles" >&2; exit 1; }

"$top/scripts/install-deps.sh"
command -v /usr/bin/time >/dev/null 2>&1 || {
  [ "$(id -u)" -eq 0 ] && apt-get install -y -qq time >/dev/null
}
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" --target mx40r modsim >/dev/null

work="$(mktemp -d)"
trap 'kill "$simulator" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

# Three reads a cycle; after the last cycle the module falls silent and the tool stops.
"$top/build/tests/support/modsim" --link "$work/COM12" --stop-after $((3 * cycles)) >/dev/null &
simulator=$!
for _ in $(seq 100); do [ -L "$work/COM12" ] && break; sleep 0.05; done

stamps="$work/stamps"
# `times` in the subshell reports the CPU time of its children (the tool) to the millisecond.
(
  MX40R_COM_DIR="$work" /usr/bin/time -f '%M' -o "$work/usage" \
    "$top/build/cli/mx40r" NOWARN COMGETSTATUS 12 19200
  times >"$work/times"
) |
  while IFS= read -r line; do
    if [[ "$line" == PRODUCT* ]]; then echo "$EPOCHREALTIME" >>"$stamps"; fi
  done

read -r peakKb <"$work/usage"
# The second line holds the children's user and system time, as in "0m0.012s 0m0.004s".
read -r userText systemText < <(sed -n 2p "$work/times")
user=$(awk -v t="$userText" 'BEGIN { split(t, p, "m"); sub("s", "", p[2]); print p[1] * 60 + p[2] }')
system=$(awk -v t="$systemText" 'BEGIN { split(t, p, "m"); sub("s", "", p[2]); print p[1] * 60 + p[2] }')
awk -v cycles="$cycles" -v user="$user" -v sys="$system" -v peak="$peakKb" '
  { t[NR] = $1 }
  END {
    if (NR != cycles) { printf "expected %d cycles, saw %d\n", cycles, NR; exit 1 }
    period = (t[NR] - t[1]) / (NR - 1) * 1000
    minimum = 3 * 250 + 1000
    printf "cycles measured        %d\n", NR
    printf "cycle period           %.1f ms (minimum %d ms)\n", period, minimum
    printf "period / minimum       %.4f (target <= 1.01)\n", period / minimum
    printf "CPU time per cycle     %.3f ms (target < 2 ms; whole run, start-up included)\n", (user + sys) * 1000 / NR
    printf "peak memory            %.2f MB (target < 4 MB)\n", peak / 1024
  }' "$stamps"

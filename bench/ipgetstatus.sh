#!/usr/bin/env bash
# IPGETSTATUS against the module simulator on Modbus TCP over loopback:
#  - the polling cycle's period over the least the tool's own waits allow (the 1000 ms pause and
#    the two 100 ms pauses of each cycle; loopback adds next to nothing);
#  - the time from process start to the PRODUCT line, side by side with a generic Modbus master
#    (Debian's mbpoll) reading the same two registers (3001 and 3002, wire address 3000) from the
#    same simulator once, as a ratio of the medians. mbpoll pauses 20 ms of its own between
#    connecting and sending its request; that pause is part of its time, as it is of its use.
#   bench/ipgetstatus.sh [CYCLES] [RUNS]     (defaults 12 and 25; MX40R_BUILD_DIR names the build)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cycles="${1:-12}"
runs="${2:-25}"
((cycles >= 10)) || { echo "at least 10 cycles" >&2; exit 1; }
((runs >= 5)) || { echo "at least 5 runs" >&2; exit 1; }
build="${MX40R_BUILD_DIR:-$top/build}"
address=127.0.0.250

"$top/scripts/install-deps.sh"
command -v mbpoll >/dev/null || { echo "mbpoll is not installed" >&2; exit 1; }
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target mx40r modsim >/dev/null
tool="$build/cli/mx40r"

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# libmodbus cannot address unit 254 over TCP (it sends 255 instead), so the module is given 255
# as its own address: it answers the tool at 254 and mbpoll at 255.
"$build/tests/support/modsim" --tcp "$address" --address 255 --register 3001=4 --register 3002=7 \
  >"$work/modsim" &
pids+=($!)
for _ in $(seq 100); do grep -q "Modbus TCP on" "$work/modsim" 2>/dev/null && break; sleep 0.05; done
grep -q "Modbus TCP on" "$work/modsim" || { echo "the simulator did not start" >&2; exit 1; }

# Starts `$@` with its standard output on descriptor 3 and prints the seconds (since the start)
# at which the first line beginning with $pattern arrived; the command is stopped then.
first_line_after_start() {
  local pattern="$1"
  shift
  local start="$EPOCHREALTIME" line
  exec 3< <(exec "$@")
  local pid=$!
  while IFS= read -r line <&3; do
    if [[ "$line" == "$pattern"* ]]; then
      local end="$EPOCHREALTIME"
      awk -v end="$end" -v start="$start" 'BEGIN { printf "%.6f\n", end - start }'
      break
    fi
  done
  kill "$pid" 2>/dev/null || true
  exec 3<&-
  wait "$pid" 2>/dev/null || true
}

# Cycle period: PRODUCT lines of one long run, stamped as they arrive.
exec 4< <(exec "$tool" NOWARN IPGETSTATUS "$address")
pollPid=$!
pids+=("$pollPid")
stamps="$work/stamps"
seen=0
while ((seen < cycles)) && IFS= read -r line <&4; do
  if [[ "$line" == PRODUCT* ]]; then
    echo "$EPOCHREALTIME" >>"$stamps"
    seen=$((seen + 1))
  fi
done
kill "$pollPid" 2>/dev/null || true
exec 4<&-

# Start to PRODUCT line, the tool and mbpoll taking turns.
for _ in $(seq "$runs"); do
  first_line_after_start PRODUCT "$tool" NOWARN IPGETSTATUS "$address" >>"$work/tool"
  first_line_after_start "[3001]" mbpoll -m tcp -a 255 -r 3001 -c 2 -1 "$address" >>"$work/mbpoll"
done

median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
toolMedian=$(median "$work/tool")
peerMedian=$(median "$work/mbpoll")

awk -v cycles="$cycles" -v runs="$runs" -v tool="$toolMedian" -v peer="$peerMedian" '
  { t[NR] = $1 }
  END {
    if (NR != cycles) { printf "expected %d cycles, saw %d\n", cycles, NR; exit 1 }
    period = (t[NR] - t[1]) / (NR - 1) * 1000
    minimum = 1000 + 2 * 100
    printf "cycles measured          %d\n", NR
    printf "cycle period             %.1f ms (minimum %d ms)\n", period, minimum
    printf "period / minimum         %.4f (target <= 1.01)\n", period / minimum
    printf "start to PRODUCT, tool   %.2f ms (median of %d runs)\n", tool * 1000, runs
    printf "start to [3001], mbpoll  %.2f ms (median of %d runs)\n", peer * 1000, runs
    printf "tool / mbpoll            %.3f (target <= 1)\n", tool / peer
  }' "$stamps"

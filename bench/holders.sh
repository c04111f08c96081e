#!/usr/bin/env bash
# The look at other processes' descriptors on a busy machine. Before a port is opened, and for
# each port that port discovery probes, the tool looks for another program that holds the port;
# that look reads every descriptor of every process. With a crowd of K idle processes, each
# holding about 60 descriptors (sockets, pipes, files, /dev/null) as on a busy desktop, it
# prints, side by side:
#  (a) the wall time of COMPORTS over four free ports, each a module simulator on a pty;
#  (b) the time from the start of COMGETSTATUS to its first status line, printed as soon as the
#      port is open (one look, then the open);
#  (c) a / b: a listing that shares one look among its probes stays near 1; the goal is <= 1.5.
# Each figure is the median of RUNS runs (minimum and maximum beside it). The tool and the
# simulator are built from the tree this script lives in, into build-bench/.
#   bench/holders.sh [K...]    (default 0 500 2000; K at most 2000; MX40R_BENCH_RUNS, default 5)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
counts=("$@")
((${#counts[@]})) || counts=(0 500 2000)
runs="${MX40R_BENCH_RUNS:-5}"
for count in "${counts[@]}"; do
  if ! [[ "$count" =~ ^[0-9]{1,4}$ ]] || ((10#$count > 2000)); then
    echo "crowd sizes are whole numbers up to 2000, not '$count'" >&2
    exit 2
  fi
done
if ! [[ "$runs" =~ ^[0-9]{1,3}$ ]] || ((10#$runs < 3)); then
  echo "at least 3 runs" >&2
  exit 2
fi
build="$top/build-bench"
ports=(11 12 13 14)
# A look that stats a file on a mount that stopped answering never returns: such a run is
# killed after this long, and the bench fails rather than hang.
limit=60

"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target mx40r modsim >/dev/null
tool="$build/cli/mx40r"

work="$(mktemp -d)"
simulators=()
crowd=""
endCrowd() {
  [ -n "$crowd" ] || return 0
  # The crowd is its own process group; its children also die with it (PR_SET_PDEATHSIG).
  kill -TERM -- "-$crowd" 2>/dev/null || kill -TERM "$crowd" 2>/dev/null || true
  wait "$crowd" 2>/dev/null || true
  kill -KILL -- "-$crowd" 2>/dev/null || true
  crowd=""
}
cleanup() {
  endCrowd
  for pid in "${simulators[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

g++ -std=c++17 -O2 -Wall -Wextra -o "$work/fd_crowd" "$top/bench/fd_crowd.cpp"

com="$work/com"
registry="$work/registry"
mkdir -p "$com" "$work/files"
expected=$'\n'
for port in "${ports[@]}"; do
  key="$registry/SYSTEM/CurrentControlSet/Enum/USB/VID_0403&PID_6001/BENCH$port"
  mkdir -p "$key/Device Parameters"
  printf 'USB Serial Port (COM%s)\0' "$port" >"$key/FriendlyName"
  printf 'COM%s\0' "$port" >"$key/Device Parameters/PortName"
  expected+="COM$port"$'\t'"USB - USB Serial Port (COM$port)"$'\n'
  "$build/tests/support/modsim" --link "$com/COM$port" >/dev/null &
  simulators+=($!)
done
expected+=$'\n'
for port in "${ports[@]}"; do
  for _ in $(seq 100); do [ -L "$com/COM$port" ] && break; sleep 0.05; done
  [ -L "$com/COM$port" ] || { echo "the simulator of COM$port did not start" >&2; exit 1; }
done
export MX40R_COM_DIR="$com" MX40R_REGISTRY_DIR="$registry"

startCrowd() {
  "$work/fd_crowd" "$1" "$work/files" >"$work/crowd.out" &
  crowd=$!
  for _ in $(seq 1200); do
    grep -q '^ready' "$work/crowd.out" 2>/dev/null && return 0
    kill -0 "$crowd" 2>/dev/null || break
    sleep 0.05
  done
  echo "the crowd of $1 processes did not get ready" >&2
  exit 1
}

milliseconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) * 1000 }'; }

# (a): the whole listing, its output checked.
timeListing() {
  local start stop status=0
  start=$EPOCHREALTIME
  timeout -s KILL "$limit" "$tool" NOWARN COMPORTS >"$work/listing" 2>&1 || status=$?
  stop=$EPOCHREALTIME
  if ((status != 0)) || [ "$(cat "$work/listing"; echo .)" != "$expected." ]; then
    echo "COMPORTS did not list the four ports (exit status $status, 137 after ${limit} s);" \
      "it printed:" >&2
    cat -A "$work/listing" >&2
    exit 1
  fi
  milliseconds "$start" "$stop"
}

# (b): up to the status line that follows the open; the run is ended there.
timeFirstStatus() {
  local start stop="" line seen="" pid out
  rm -f "$work/status"
  mkfifo "$work/status"
  start=$EPOCHREALTIME
  timeout -s KILL "$limit" "$tool" NOWARN COMGETSTATUS 11 19200 >"$work/status" 2>&1 &
  pid=$!
  exec {out}<"$work/status"
  while IFS= read -r -u "$out" line; do
    if [ "$line" = "Polling Port 11 Baud Rate 19200" ]; then
      stop=$EPOCHREALTIME
      break
    fi
    seen+="$line"$'\n'
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  exec {out}<&-
  if [ -z "$stop" ]; then
    echo "COMGETSTATUS printed no status line within ${limit} s; it printed:" >&2
    printf '%s' "$seen" | cat -A >&2
    exit 1
  fi
  milliseconds "$start" "$stop"
}

median() {
  printf '%s\n' "$@" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# "median (min-max)"
summary() {
  local sorted
  sorted="$(printf '%s\n' "$@" | sort -g)"
  printf '%.1f (%s-%s)' "$(median "$@")" "$(head -1 <<<"$sorted")" "$(tail -1 <<<"$sorted")"
}

tree="$(git -C "$top" log -1 --format='%h %s' 2>/dev/null || echo 'no git')"
if [ -n "$(git -C "$top" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  tree+=", with uncommitted changes"
fi
echo "tree          $top ($tree)"
echo "runs          $runs per figure; times in ms, median (min-max)"
printf '%-6s %-10s %-12s %-26s %-26s %s\n' crowd processes descriptors "(a) COMPORTS, 4 ports" \
  "(b) first COMGETSTATUS line" "(c) a/b (goal <= 1.5)"
for count in "${counts[@]}"; do
  startCrowd "$count"
  read -r _ processes _ descriptors < <("$work/fd_crowd" --census)
  listings=()
  statuses=()
  for _ in $(seq "$runs"); do
    listing="$(timeListing)"
    listings+=("$listing")
    status="$(timeFirstStatus)"
    statuses+=("$status")
  done
  ratio="$(awk -v a="$(median "${listings[@]}")" -v b="$(median "${statuses[@]}")" \
    'BEGIN { printf "%.2f", a / b }')"
  printf '%-6s %-10s %-12s %-26s %-26s %s\n' "$count" "$processes" "$descriptors" \
    "$(summary "${listings[@]}")" "$(summary "${statuses[@]}")" "$ratio"
  endCrowd
done

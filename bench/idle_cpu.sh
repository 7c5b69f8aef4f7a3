#!/usr/bin/env bash
# Idle cost of the driver: CPU time used by paneldriver with N simulated panels linked and
# "Status_Timer" at 1000 ms, against a baseline run of the same driver with no panel polled.
# Prints one line per run and the difference.
#
#   bench/idle_cpu.sh [PANELS] [SECONDS] [BUILD_BIN]      (defaults: 32 30 build/default/bin)
set -euo pipefail
cd "$(dirname "$0")/.."
panels=${1:-32}
seconds=${2:-30}
bin=${3:-$PWD/build/default/bin}
hz=$(getconf CLK_TCK)
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# run NAME POLL: a fresh site with $panels panels whose poll column is POLL; prints the
# driver's share of one core over $seconds after a warm-up.
run() {
  local name=$1 poll=$2 dir="$work/$1"
  mkdir -p "$dir"
  "$bin/ordanectl" share --root "$dir/share" >/dev/null
  "$bin/ordanectl" demo-data --db "sqlite:$dir/o.db" --panels "$panels" --first-port 7900 >/dev/null
  sqlite3 "$dir/o.db" "update controllers set poll = $poll"
  "$bin/ordanectl" settings --file "$dir/o.ini" --db "sqlite:$dir/o.db" --remote "$dir/share" \
    --status-timer 1000 --debug 0 >/dev/null
  "$bin/panelsim" --panels "$panels" --base-port 7900 --no-stdin >"$dir/sim.log" 2>&1 &
  local sim=$!
  sleep 1
  ORDANE_SETTINGS="$dir/o.ini" ORDANE_LOCK_FILE="$dir/lock" "$bin/paneldriver" >"$dir/driver.log" 2>&1 &
  local driver=$!
  sleep 15  # start-up, first status answers, links settled
  local t0 s0; t0=$(cpu_ticks "$driver"); s0=$(cpu_ticks "$sim")
  sleep "$seconds"
  local t1 s1; t1=$(cpu_ticks "$driver"); s1=$(cpu_ticks "$sim")
  kill "$driver" "$sim"; wait "$driver" "$sim" 2>/dev/null || true
  awk -v n="$name" -v d=$((t1 - t0)) -v s=$((s1 - s0)) -v hz="$hz" -v sec="$seconds" \
    'BEGIN { printf "%-10s driver %5.2f%% of one core   simulator %5.2f%%\n", n, 100*d/hz/sec, 100*s/hz/sec }'
}

echo "idle cost over ${seconds}s, ${panels} panels, Status_Timer 1000 ms"
run baseline 0
run linked 1

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# How long torvane-scan takes to end after Ctrl-C that comes right after the
# scan has started (the driver's log shows StartScan's exit line), against
# torvane-sim at its default image data rate. Prints one time per run and
# the median. Usage: [SIM_OPTIONS="--rate 2000000"] bench/cancel_after_start.sh [RUNS] [torvane-scan options]
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-10}"
shift || true
bin=build/default/bin
work=$(mktemp -d)
export TORVANE_INSTANCE="cancelbench$$"
trap 'kill "$sim" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"; rm -f /dev/shm/TQX5800*"$TORVANE_INSTANCE"*' EXIT

mkfifo "$work/sim-in"
"$bin/torvane-sim" --dir "$work/dev" ${SIM_OPTIONS:-} < "$work/sim-in" > "$work/sim.log" 2>&1 &
sim=$!
exec 3> "$work/sim-in"
until grep -q ready "$work/sim.log"; do sleep 0.05; done
export TORVANE_DEVICE_DIR="$work/dev"

times=()
for ((i = 0; i < runs; ++i)); do
  rm -rf "$work/log" && mkdir "$work/log"
  "$bin/torvane-scan" -q -r 300 -o "$work/page.pnm" --log-dir "$work/log" "$@" 2> "$work/scan.err" &
  scan=$!
  until grep -qa "Out  1 : StartScan" "$work/log/quorDll.txt" 2>/dev/null; do sleep 0.001; done
  start=$(date +%s%N)
  kill -INT "$scan"
  wait "$scan" || true
  end=$(date +%s%N)
  ms=$(( (end - start) / 1000000 ))
  times+=("$ms")
  echo "run $i: ${ms} ms from Ctrl-C to exit"
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "median: ${sorted[$((runs / 2))]} ms, min ${sorted[0]} ms, max ${sorted[$((runs - 1))]} ms"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CI for the SANE backend (after scripts/test.sh has built and tested it):
# SANE's backend tester at levels 0, 1 and 2 against a torvane-sim scanner,
# then the Debian package installed with dpkg and a page scanned through the
# installed backend. Only torvane is ever loaded: a private SANE_CONFIG_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$PWD/build/default
work=$(mktemp -d)
export TORVANE_INSTANCE="ci-sane-$$"
sim_pid=""
stop_simulator() {
  if [[ -n "$sim_pid" ]]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  sim_pid=""
}
cleanup() {
  stop_simulator
  rm -rf "$work" /dev/shm/TQX5800*"$TORVANE_INSTANCE"*
}
trap cleanup EXIT

start_simulator() { # PROGRAM
  mkdir -p "$work/dev"
  "$1" --dir "$work/dev" --full-speed > "$work/sim.log" 2>&1 < /dev/null &
  sim_pid=$!
  for _ in $(seq 100); do grep -q ' ready at ' "$work/sim.log" && return 0; sleep 0.1; done
  cat "$work/sim.log"; return 1
}
mkdir -p "$work/sane.d"
echo torvane > "$work/sane.d/dll.conf"
export SANE_CONFIG_DIR="$work/sane.d" TORVANE_DEVICE_DIR="$work/dev"

echo "-- tstbackend, levels 0 to 2"
scripts/get-tstbackend.sh "$build/tstbackend"
start_simulator "$build/bin/torvane-sim"
for level in 0 1 2; do
  LD_LIBRARY_PATH="$build/sane" "$build/tstbackend/tstbackend" -l "$level" -d torvane:usbscan0 > "$work/tst$level.log" 2>&1
  summary=$(grep '^warnings:' "$work/tst$level.log" || true)
  echo "level $level: $summary"
  if [[ "$summary" != "warnings: 0  error: 0"* ]]; then
    # Each complaint with the test that led to it.
    grep -B 3 -E '^(ERROR|FATAL ERROR|WARNING)' "$work/tst$level.log" | head -n 60
    exit 1
  fi
done
stop_simulator

echo "-- the Debian package, and a scan through the installed backend"
(cd "$build" && cpack -G DEB > "$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
dpkg -i "$build"/torvane_*_amd64.deb
start_simulator /usr/bin/torvane-sim
env -u LD_LIBRARY_PATH scanimage -L | tee "$work/list.txt"
grep -q "device \`torvane:usbscan0' is a Torvane RM735" "$work/list.txt"
env -u LD_LIBRARY_PATH scanimage --format=pnm --mode Gray --resolution 100 > "$work/page.pnm"
head -c 40 "$work/page.pnm" | grep -q $'^P5\n# SANE data follows\n850 ' || { echo "unexpected page"; exit 1; }
echo "scanned $(stat -c %s "$work/page.pnm") bytes through $(pkg-config --variable=libdir sane-backends)/sane/libsane-torvane.so.1"
torvane-scan --list
stop_simulator
dpkg -P torvane > /dev/null

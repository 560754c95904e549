#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A virtual scanner for Windows programs: \\.\usbscanN in a Wine prefix,
# served by torvane-sim through the kernel driver torvane-usbscan.sys.
#
#   scripts/wine-scanner.sh [--prefix DIR] prepare
#       creates the prefix when missing and installs the driver as the
#       automatic-start kernel service TorvaneUsbscan (started with every
#       Wine session of the prefix from then on)
#   scripts/wine-scanner.sh [--prefix DIR] serve [torvane-sim options...]
#       prepares, starts torvane-sim --tcp 0 with the options, points the
#       driver at its port and serves until torvane-sim ends (Ctrl-C, or
#       "quit" on stdin, whose other commands reach torvane-sim)
#   scripts/wine-scanner.sh [--prefix DIR] run program.exe [arguments...]
#       prepares, starts torvane-sim (options from $TORVANE_SIM_OPTIONS),
#       runs the program in the prefix and stops torvane-sim afterwards
#   scripts/wine-scanner.sh [--prefix DIR] port PORT
#       points the driver at a torvane-sim already serving 127.0.0.1:PORT
#
# DIR defaults to $WINEPREFIX, else build/windows/wineprefix (the prefix of
# the Windows tests). The driver is $TORVANE_USBSCAN_SYS (default
# build/windows/lib/torvane-usbscan.sys), the simulator $TORVANE_SIM
# (default build/default/bin/torvane-sim).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

prefix="${WINEPREFIX:-$root/build/windows/wineprefix}"
if [[ "${1:-}" == "--prefix" ]]; then
  prefix="$2"
  shift 2
fi
command="${1:-}"
[[ $# -gt 0 ]] && shift
wine_dir="${TORVANE_WINE_DIR:-/usr/lib/wine}"
driver="${TORVANE_USBSCAN_SYS:-$root/build/windows/lib/torvane-usbscan.sys}"
simulator="${TORVANE_SIM:-$root/build/default/bin/torvane-sim}"
service=TorvaneUsbscan
parameters="HKLM\\System\\CurrentControlSet\\Services\\$service\\Parameters"

usage() {
  sed -n '3,25p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

wine() {
  "$root/scripts/wine-run.sh" --prefix "$prefix" "$@"
}

# The driver file in the prefix and its service; `sc start` makes it live in
# the session already running, the automatic start in every later one.
prepare() {
  if [[ ! -f "$driver" ]]; then
    echo "wine-scanner: no driver at $driver (cmake --build --preset windows)" >&2
    exit 1
  fi
  # wine-run.sh creates the prefix on first use.
  wine cmd /c exit >/dev/null 2>&1 || true
  local drivers="$prefix/drive_c/windows/system32/drivers"
  local installed="$drivers/torvane-usbscan.sys"
  if ! cmp -s "$driver" "$installed" 2>/dev/null; then
    # A new driver file takes effect when the service starts next.
    wine sc stop "$service" >/dev/null 2>&1 || true
    cp "$driver" "$installed"
  fi
  # Asked of the service manager: system.reg is written only when the
  # wineserver saves it, so a service created moments ago is not in it yet.
  if ! wine sc query "$service" >/dev/null 2>&1; then
    wine sc create "$service" type= kernel start= auto \
      binpath= 'C:\windows\system32\drivers\torvane-usbscan.sys' >/dev/null
  fi
  wine sc start "$service" >/dev/null 2>&1 || true
}

set_port() {
  wine reg add "$parameters" /v Port /t REG_DWORD /d "$1" /f >/dev/null
}

# Starts torvane-sim in the background on a free port: sets sim_pid and
# sim_port. Its commands come from the file descriptor 3 given.
start_simulator() {
  if [[ ! -x "$simulator" ]]; then
    echo "wine-scanner: no torvane-sim at $simulator (cmake --build --preset default)" >&2
    exit 1
  fi
  sim_dir="$(mktemp -d)"
  "$simulator" --dir "$sim_dir" --tcp 0 "$@" >"$sim_dir/log" 2>&1 <&3 &
  sim_pid=$!
  sim_port=""
  for _ in $(seq 100); do
    sim_port="$(sed -n 's/^torvane-sim: serving on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$sim_dir/log")"
    [[ -n "$sim_port" ]] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -z "$sim_port" ]]; then
    cat "$sim_dir/log" >&2
    echo "wine-scanner: torvane-sim did not start" >&2
    exit 1
  fi
  cat "$sim_dir/log"
}

stop_simulator() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  rm -rf "$sim_dir"
  # The port may be another program's next: the driver forgets it.
  set_port 0
}

case "$command" in
prepare)
  prepare
  ;;
port)
  [[ $# -eq 1 ]] || usage
  prepare
  set_port "$1"
  ;;
serve)
  prepare
  start_simulator "$@" 3<&0
  set_port "$sim_port"
  echo "wine-scanner: \\\\.\\usbscanN of $prefix served by torvane-sim on port $sim_port"
  trap stop_simulator EXIT
  wait "$sim_pid" || true
  ;;
run)
  [[ $# -ge 1 ]] || usage
  prepare
  # shellcheck disable=SC2086 # the options are words
  start_simulator --ignore-stdin ${TORVANE_SIM_OPTIONS:-} 3</dev/null >/dev/null
  trap stop_simulator EXIT
  set_port "$sim_port"
  status=0
  wine "$@" || status=$?
  exit "$status"
  ;;
*)
  usage
  ;;
esac

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Whole sessions of the shipped RM735.dll and KT918.dll under Wine through
# \\.\usbscanN (torvane-usbscan.sys) against torvane-sim over TCP, each
# compared with RM735.so through the simulator's Unix socket in the same run:
#   tests/wine-device/wine-device-test.sh WINDOWS_BUILD LINUX_BUILD CASE
# CASE: discovery, pages, nvm, button, stall, unplug, contention, twain (the
# TWAIN data source on the shipped RM735.dll, through a manager). Exit 77 (skipped) when the Linux
# build has no torvane-sim or scan client.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
windows_build="$1"
linux_build="$2"
case_name="$3"

sim="$linux_build/bin/torvane-sim"
linux_client="$linux_build/bin/torvane_scan_client"
linux_library="$linux_build/lib/RM735.so"
windows_bin="$windows_build/tests/windows/bin"
windows_client="$windows_bin/torvane_scan_client.exe"
prefix="$windows_build/wineprefix"
if [[ ! -x "$sim" || ! -x "$linux_client" || ! -f "$linux_library" ]]; then
  echo "skipped: build the Linux side first (cmake --build --preset default)"
  exit 77
fi

work="$(mktemp -d)"
sim_pid=""
cleanup() {
  if [[ -n "$sim_pid" ]]; then
    kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    # The port may be another program's next: the driver forgets it.
    TORVANE_SIM=/bin/false "$root/scripts/wine-scanner.sh" --prefix "$prefix" port 0 || true
  fi
  rm -rf "$work"
  # The Linux library's machine-wide lock of this run's instance.
  rm -f "/dev/shm/TQX5800.${TORVANE_INSTANCE:-none}"*
}
trap cleanup EXIT
# A command that ends the run says which (set -e alone ends it silently),
# inside functions too.
set -o errtrace
trap 'echo "FAILED: line $LINENO: $BASH_COMMAND (exit $?)" >&2' ERR
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
expect_line() { # expect_line OUTPUT LINE
  grep -qxF -- "$2" <<<"$1" || fail "expected '$2' in: $(tr '\n' ' ' <<<"$1")"
}

# torvane-sim on a free port, commands through a FIFO.
start_sim() {
  mkfifo "$work/commands"
  "$sim" --dir "$work/dev" --tcp 0 --full-speed "$@" <"$work/commands" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  exec 4>"$work/commands"
  local port=""
  for _ in $(seq 100); do
    port="$(sed -n 's/^torvane-sim: serving on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.log")"
    [[ -n "$port" ]] && break
    sleep 0.1
  done
  [[ -n "$port" ]] || { cat "$work/sim.log"; exit 1; }
  TORVANE_SIM=/bin/false "$root/scripts/wine-scanner.sh" --prefix "$prefix" port "$port"
}
sim_command() {
  echo "$1" >&4
  sleep 0.3
}

export TORVANE_INSTANCE="wine-device-$$"
export TORVANE_REGISTRY="$work/twain.conf"
: >"$TORVANE_REGISTRY"
linux() { TORVANE_DEVICE_DIR="$work/dev" "$linux_client" "$linux_library" "$@"; }
windows() { "$root/scripts/wine-run.sh" --prefix "$prefix" "$windows_client" "$@" | tr -d '\r'; }
# The same into a file, unbuffered, for a client that runs in the background.
windows_to() {
  local file="$1"
  shift
  "$root/scripts/wine-run.sh" --prefix "$prefix" "$windows_client" "$@" >"$file"
}
wait_for_line() { # wait_for_line PATTERN FILE: at most 30 s
  for _ in $(seq 300); do
    grep -q "$1" "$2" 2>/dev/null && return
    sleep 0.1
  done
}
winpath() { echo "Z:${1//\//\\}"; }

case "$case_name" in
discovery)
  # usbscan1 and usbscan2 served, usbscan0 not. The scanner of usbscan1
  # refuses INQUIRY, so InitializeScanner tells which scanner the DLL found.
  refuse="check,op=0x12,sense=02/04/01,count=always"
  start_sim --number 1 --also 2 --fault "$refuse"
  out="$(windows "$windows_bin/RM735.dll" init call:TerminateDriver)"
  expect_line "$out" "InitializeDriver=1"
  expect_line "$out" "InitializeScanner=0"
  # usbscan1 unplugged: the DLL finds usbscan2.
  sim_command unplug
  out="$(windows "$windows_bin/RM735.dll" init call:TerminateDriver)"
  expect_line "$out" "InitializeDriver=1"
  expect_line "$out" "InitializeScanner=1"
  # Plugged in again as usbscan0: found before usbscan2, and it scans.
  sim_command "replug 0"
  out="$(windows "$windows_bin/RM735.dll" init call:TerminateDriver)"
  expect_line "$out" "InitializeScanner=0"
  sim_command clear
  out="$(windows "$windows_bin/RM735.dll" init scan:75,2,8,"$(winpath "$work/win.raw")" call:TerminateDriver)"
  expect_line "$out" "scan=1"
  linux init scan:75,2,8,"$work/linux.raw" call:TerminateDriver >/dev/null
  cmp -s "$work/win.raw" "$work/linux.raw" || fail "the page after replug differs from RM735.so's"
  ;;
pages)
  # An A4 page in every mode, byte for byte RM735.so's; the time per page.
  start_sim
  for mode in "300,4,24 colour" "300,2,8 grey" "300,0,1 lineart" "300,1,1 halftone" "150,4,24 colour150"; do
    settings="${mode% *}"
    name="${mode#* }"
    lout="$(linux init scan:"$settings","$work/$name.linux" call:TerminateDriver)"
    wout="$(windows "$windows_bin/RM735.dll" init scan:"$settings","$(winpath "$work/$name.win")" call:TerminateDriver)"
    expect_line "$lout" "scan=1"
    expect_line "$wout" "scan=1"
    if ! cmp -s "$work/$name.linux" "$work/$name.win"; then
      fail "$name: the Windows page differs from RM735.so's"
    fi
    echo "page $name ($settings): $(sed -n 's/^scan.bytes=//p' <<<"$wout") bytes;" \
      "RM735.so through the socket $(sed -n 's/^scan.ms=//p' <<<"$lout") ms," \
      "RM735.dll through the driver service $(sed -n 's/^scan.ms=//p' <<<"$wout") ms"
  done
  ;;
nvm)
  # A KT918: a byte written by KT918.dll through the driver is read back by
  # it and by KT918.so through the socket: one scanner state.
  start_sim --model KT918
  linux_library="$linux_build/lib/KT918.so"
  out="$(windows "$windows_bin/KT918.dll" init nvmWrite:64,165 nvm call:TerminateDriver)"
  expect_line "$out" "InitializeScanner=1"
  expect_line "$out" "nvmWrite=1"
  windows_record="$(sed -n 's/^nvm=//p' <<<"$out")"
  linux_record="$(linux init nvm call:TerminateDriver | sed -n 's/^nvm=//p')"
  [[ "${windows_record:0:2}" == "1," ]] || fail "ReadNVMData through the driver: $windows_record"
  [[ "${windows_record:$((2 + 128)):2}" == "A5" ]] || fail "byte 64 not written: $windows_record"
  [[ "$windows_record" == "$linux_record" ]] || fail "the NVM differs: $windows_record / $linux_record"
  ;;
stall)
  # A page whose image reads stall: ReadScan gives up in bounded time and
  # StopScan ends the acquisition thread stuck in its ReadFile on the
  # driver; with the fault gone the next page is RM735.so's.
  start_sim --fault stall,op=0x28,type=0
  out="$(windows "$windows_bin/RM735.dll" init scan:300,4,24,"$(winpath "$work/stalled.raw")" timed:TerminateDriver)"
  expect_line "$out" "scan=0"
  expect_line "$out" "scan.stop=1"
  expect_line "$out" "TerminateDriver=1"
  echo "a stalled page ended by ReadScan and StopScan after $(sed -n 's/^scan.ms=//p' <<<"$out") ms"
  sim_command clear
  out="$(windows "$windows_bin/RM735.dll" init scan:150,2,8,"$(winpath "$work/after.raw")" call:TerminateDriver)"
  expect_line "$out" "scan=1"
  linux init scan:150,2,8,"$work/after.linux" call:TerminateDriver >/dev/null
  cmp -s "$work/after.raw" "$work/after.linux" || fail "the page after the stall differs from RM735.so's"
  ;;
unplug)
  # The scanner unplugged 2 s into a colour page, which takes about 5 s at
  # a USB pipe's rate: ReadScan fails within seconds of the unplug and
  # StopScan returns; after the replug the next page is RM735.so's.
  start_sim --rate 40000000
  windows_to "$work/cut.out" "$windows_bin/RM735.dll" init scan:300,4,24,"$(winpath "$work/cut.raw")" &
  client=$!
  wait_for_line '^InitializeScanner=' "$work/cut.out"
  sleep 2
  unplugged=$(date +%s%N)
  sim_command unplug
  wait "$client" || true
  ended_ms=$((($(date +%s%N) - unplugged) / 1000000))
  out="$(tr -d '\r' <"$work/cut.out")"
  expect_line "$out" "scan=0"
  ((ended_ms < 10000)) || fail "the page ended $ended_ms ms after the unplug"
  echo "a page cut by the unplug: the client ended $ended_ms ms after it (StopScan returned ${out##*scan.stop=})"
  sim_command "replug 1"
  out="$(windows "$windows_bin/RM735.dll" init scan:150,2,8,"$(winpath "$work/after.raw")" call:TerminateDriver)"
  expect_line "$out" "scan=1"
  linux init scan:150,2,8,"$work/after.linux" call:TerminateDriver >/dev/null
  cmp -s "$work/after.raw" "$work/after.linux" || fail "the page after replug differs from RM735.so's"
  ;;
contention)
  # Two processes, the second starting while the first scans: the device
  # event and ScanBusy are machine-wide, so the second does not scan, with
  # RM735.so as with RM735.dll; the first's StopScan ends its scan, and the
  # second's is refused (the scan is not its own, and goes on).
  start_sim --rate 40000000
  first=(init scan:300,4,24)
  second=(init scan:150,2,8)
  linux "${first[@]}","$work/first.linux" call:TerminateDriver >"$work/first.lout" &
  a=$!
  wait_for_line '^InitializeScanner=' "$work/first.lout"
  sleep 0.3
  linux "${second[@]}","$work/second.linux" call:TerminateDriver >"$work/second.lout"
  wait $a
  windows_to "$work/first.wout" "$windows_bin/RM735.dll" "${first[@]}","$(winpath "$work/first.win")" \
    call:TerminateDriver &
  a=$!
  wait_for_line '^InitializeScanner=' "$work/first.wout"
  sleep 1
  windows_to "$work/second.wout" "$windows_bin/RM735.dll" "${second[@]}","$(winpath "$work/second.win")" \
    call:TerminateDriver
  wait $a
  keys='^(InitializeDriver|InitializeScanner|scan|scan.stop|TerminateDriver)='
  for run in first second; do
    tr -d '\r' <"$work/$run.wout" >"$work/$run.wtext"
    stopped=1
    [[ $run == first ]] || stopped=0
    for side in lout wtext; do
      grep -qx "scan.stop=$stopped" "$work/$run.$side" || fail "$run process ($side): StopScan did not return $stopped"
    done
    echo "$run process: RM735.so $(grep -E "$keys" "$work/$run.lout" | tr '\n' ' ')"
    echo "$run process: RM735.dll $(grep -E "$keys" "$work/$run.wtext" | tr '\n' ' ')"
  done
  grep -qx 'scan=0' "$work/second.lout" || fail "the second process scanned beside the first (RM735.so)"
  grep -qx 'scan=0' "$work/second.wtext" || fail "the second process scanned beside the first (RM735.dll)"
  ;;
button)
  # A press reaches RM735.dll through the pended, overlapped wait as it
  # reaches RM735.so; TerminateDriver then cancels the wait left outstanding
  # (its CancelIoEx and GetOverlappedResult return only when the driver
  # ends the pended request).
  start_sim
  press_during() { # press_during OUTPUT_FILE: presses once the client waits
    wait_for_line '^InitializeScanner=' "$1"
    sleep 1
    sim_command "press 05"
  }
  steps=(init buttonWait:30000 buttonWait:1500 timed:TerminateDriver)
  linux "${steps[@]}" >"$work/linux.out" &
  press_during "$work/linux.out"
  wait $!
  windows_to "$work/win.out" "$windows_bin/RM735.dll" "${steps[@]}" &
  press_during "$work/win.out"
  wait $!
  lout="$(cat "$work/linux.out")"
  wout="$(tr -d '\r' <"$work/win.out")"
  pressed="$(sed -n '1,/^button=/s/^button=//p' <<<"$lout")"
  [[ -n "$pressed" && "$pressed" != "0000000000000000" ]] || fail "RM735.so saw no press: $lout"
  [[ "$(sed -n 's/^button=//p' <<<"$wout" | head -1)" == "$pressed" ]] || fail "RM735.dll's report differs: $wout"
  expect_line "$wout" "button=0000000000000000"
  expect_line "$wout" "TerminateDriver=1"
  echo "TerminateDriver with the wait outstanding: $(sed -n 's/^TerminateDriver.ms=//p' <<<"$wout") ms"
  ;;
twain)
  # TorvaneScanner.ds loads the shipped RM735.dll, which opens \\.\usbscan0:
  # the TWAIN test program acquires through the Working Group's manager (or
  # Wine's, where that is not there) and compares every page with a lone
  # ReadScan through the same DLL and device.
  start_sim
  "$root/scripts/wine-run.sh" --prefix "$prefix" "$windows_bin/twain_device_tests.exe" | tr -d '\r' ||
    fail "the TWAIN pages through the device"
  ;;
*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
((failures == 0))

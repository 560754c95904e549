#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A page scanned through saned and SANE's net backend on 127.0.0.1, inside a
# private network namespace, is byte for byte the page scanned locally.
# Usage: network_test.sh BUILD_DIR. Exit 77 (skipped) without root or unshare.
set -euo pipefail
build=$(realpath "$1")
if [[ $(id -u) -ne 0 ]] || ! command -v unshare >/dev/null || ! unshare -n true 2>/dev/null; then
  echo "skipped: needs root and unshare -n"
  exit 77
fi
if [[ "${INSIDE_NAMESPACE:-}" != 1 ]]; then
  INSIDE_NAMESPACE=1 exec timeout 100 unshare -n "$0" "$@"
fi

work=$(mktemp -d)
export TORVANE_INSTANCE="sane-network-$$"
cleanup() {
  kill "$saned_pid" "$sim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work" /dev/shm/TQX5800*"$TORVANE_INSTANCE"
}
trap cleanup EXIT
ip link set lo up
mkdir -p "$work/dev" "$work/server" "$work/client"
echo torvane > "$work/server/dll.conf"
echo 127.0.0.1 > "$work/server/saned.conf"
echo net > "$work/client/dll.conf"
printf 'connect_timeout = 10\n127.0.0.1\n' > "$work/client/net.conf"

export TORVANE_DEVICE_DIR="$work/dev" LD_LIBRARY_PATH="$build/sane"
"$build/bin/torvane-sim" --dir "$work/dev" --full-speed > "$work/sim.log" 2>&1 < /dev/null &
sim_pid=$!
for _ in $(seq 100); do grep -q ' ready at ' "$work/sim.log" && break; sleep 0.1; done

SANE_CONFIG_DIR="$work/server" saned -l -b 127.0.0.1 -e > "$work/saned.log" 2>&1 &
saned_pid=$!
sleep 1

args=(--format=pnm --mode Gray --resolution 100 -x 80 -y 50)
SANE_CONFIG_DIR="$work/server" scanimage -d torvane:usbscan0 "${args[@]}" > "$work/local.pnm"
SANE_CONFIG_DIR="$work/client" scanimage -L | tee "$work/list.txt"
grep -q "net:127.0.0.1:torvane:usbscan0" "$work/list.txt"
SANE_CONFIG_DIR="$work/client" scanimage -d net:127.0.0.1:torvane:usbscan0 "${args[@]}" > "$work/remote.pnm"
test -s "$work/local.pnm"
cmp "$work/local.pnm" "$work/remote.pnm"
echo "the page over the network is the local page ($(stat -c %s "$work/local.pnm") bytes)"

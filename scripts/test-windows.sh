#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds the Windows DLL (RM735.dll, KT918.dll) with mingw-w64 and runs
# the Windows tests under Wine, in a Wine prefix of the build tree
# (build/windows/wineprefix, created on the first run). The tests of label
# wine-device also need the default build (torvane-sim, RM735.so): without
# it they are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset windows >/dev/null
cmake --build --preset windows

prefix="$PWD/build/windows/wineprefix"
export WINEDEBUG=-all
# The first start of Wine in a new prefix sets it up (about 15 s).
if [[ ! -f "$prefix/system.reg" ]]; then
  echo "-- creating the Wine prefix $prefix"
  WINEPREFIX="$prefix" WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -w
fi

status=0
ctest --preset windows || status=$?
# The tests leave Wine's server running for a while; end it with the run.
WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
exit "$status"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds the Windows DLL (RM735.dll, KT918.dll) with mingw-w64 and runs
# the Windows tests under Wine, in a Wine prefix of the build tree
# (build/windows/wineprefix, created on the first run). The tests of label
# wine-device also need the default build (torvane-sim, RM735.so): without
# it they are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

# The 32-bit data source for 32-bit applications (preset windows32), where
# mingw-w64's i686 compiler is installed: its TWAIN records' layouts are
# checked as it compiles, and the file as a manager meets it. No 32-bit test
# runs (that needs a 32-bit Wine). TORVANE_WINDOWS32=full builds the 32-bit
# driver DLLs too, and the installer then carries them to twain_32\Torvane.
windows32_lib=""
if command -v i686-w64-mingw32-g++-posix >/dev/null; then
  cmake --preset windows32 >/dev/null
  if [[ "${TORVANE_WINDOWS32:-}" == full ]]; then
    cmake --build --preset windows32
    scripts/check-windows-dll.sh i686-w64-mingw32-objdump build/windows32/lib/RM735.dll build/windows32/lib/KT918.dll
    windows32_lib="$PWD/build/windows32/lib"
  else
    cmake --build --preset windows32 --target torvane_twain_source
  fi
  scripts/check-twain-source.sh i686-w64-mingw32-objdump build/windows32/lib/TorvaneScanner.ds
fi

cmake --preset windows -DTORVANE_WINDOWS32_LIB="$windows32_lib" >/dev/null
cmake --build --preset windows

prefix="$PWD/build/windows/wineprefix"
export WINEDEBUG=-all
# The first start of Wine in a new prefix sets it up (about 15 s).
if [[ ! -f "$prefix/system.reg" ]]; then
  echo "-- creating the Wine prefix $prefix"
  WINEPREFIX="$prefix" WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -w
fi

# The data source's dialog needs a display: a virtual one where Xvfb is
# installed (its test skips without).
xvfb=""
if [[ -z "${DISPLAY:-}" ]] && command -v Xvfb >/dev/null; then
  display_file="$(mktemp)"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 50); do [[ -s "$display_file" ]] && break; sleep 0.1; done
  export DISPLAY=":$(cat "$display_file")"
  rm -f "$display_file"
fi

status=0
ctest --preset windows || status=$?
# The tests leave Wine's server running for a while; end it with the run.
WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
[[ -n "$xvfb" ]] && kill "$xvfb" 2>/dev/null
exit "$status"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a Windows program of the Windows build under Wine:
#   scripts/wine-run.sh [--prefix DIR] program.exe [arguments...]
# DIR (default: $WINEPREFIX) is a Wine prefix of its own, created on first use
# (about 15 s). The test programs of build/windows name this script as their
# emulator, with the prefix build/windows/wineprefix.
set -euo pipefail

prefix="${WINEPREFIX:-}"
if [[ "${1:-}" == "--prefix" ]]; then
  prefix="$2"
  shift 2
fi
if [[ -z "$prefix" || $# -eq 0 ]]; then
  echo "usage: $0 [--prefix DIR] program.exe [arguments...]" >&2
  exit 2
fi

wine_dir="${TORVANE_WINE_DIR:-/usr/lib/wine}"
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono and no Gecko: nothing here needs them, and their installers would
# ask questions.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINESERVER="$wine_dir/wineserver"

# One creation at a time when several tests start on a fresh build tree.
if [[ ! -f "$prefix/system.reg" ]]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [[ ! -f "$prefix/system.reg" ]]; then
      "$wine_dir/wine64" wineboot -i >/dev/null 2>&1 || true
      "$WINESERVER" -w
    fi
  ) 9>"$prefix.lock"
fi

# Starting Wine's server and services takes seconds, a program under a
# running server a fraction of one: the server stays up for a while after the
# last program, so that a test run pays the start once. The session is started
# with no terminal or pipe attached: the services live on after this program,
# and must not hold the caller's output open (CTest waits for it to close).
# (wineserver fails when a server of the prefix runs already.)
if "$WINESERVER" -p"${TORVANE_WINESERVER_PERSIST:-30}" </dev/null >/dev/null 2>&1; then
  "$wine_dir/wine64" wineboot </dev/null >/dev/null 2>&1 || true
fi

exec "$wine_dir/wine64" "$@"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installer as a user runs it, silently, in a fresh Wine prefix:
#   scripts/test-installer.sh TorvaneScanner-setup.exe PREFIX
# PREFIX is removed and created again. After `setup.exe /S` the data source,
# both driver DLLs and the uninstaller are in C:\windows\twain_64\Torvane\,
# the configuration key holds its defaults and the uninstall entry is
# there; after `Uninstall.exe /S` none of them is left.
set -euo pipefail

setup="$1"
prefix="$2"
wine_dir="${TORVANE_WINE_DIR:-/usr/lib/wine}"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
fail=0
problem() { echo "FAIL: $*" >&2; fail=1; }
# A path of this machine as Wine's drive Z: shows it.
in_wine() { local path; path="$(realpath "$1")"; echo "Z:${path//\//\\}"; }

rm -rf "$prefix"
"$wine_dir/wine64" wineboot -i >/dev/null 2>&1 || true
"$wine_dir/wineserver" -w

folder="$prefix/drive_c/windows/twain_64/Torvane"
# The registry as Wine writes it when its server ends: one key per section.
key_section() { awk -v key="$1" 'index($0, "[" key "]") == 1 {on=1; next} /^\[/ {on=0} on' "$prefix/system.reg"; }

"$wine_dir/wine64" "$(in_wine "$setup")" /S
"$wine_dir/wineserver" -w
for file in TorvaneScanner.ds RM735.dll KT918.dll Uninstall.exe; do
  [[ -f "$folder/$file" ]] || problem "$file was not installed"
done
config="$(key_section 'Software\\\\Torvane\\\\TWAIN')"
grep -qx '"DEBUGLEVEL"=dword:00000000' <<<"$config" || problem "DEBUGLEVEL is not 0: $config"
grep -qx '"SAVEPATH"="C:\\\\ProgramData\\\\Torvane\\\\"' <<<"$config" || problem "SAVEPATH is not ProgramData\\Torvane\\: $config"
uninstall="$(key_section 'Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\TorvaneScanner')"
grep -qx '"DisplayName"="Torvane Scanner"' <<<"$uninstall" || problem "no uninstall entry"
echo "installed: $(ls "$folder" | tr '\n' ' ')"

"$wine_dir/wine64" 'C:\windows\twain_64\Torvane\Uninstall.exe' /S
"$wine_dir/wineserver" -w
[[ ! -e "$folder" ]] || problem "left behind: $(ls "$folder" | tr '\n' ' ')"
grep -q '^\[Software\\\\Torvane\\\\TWAIN\]' "$prefix/system.reg" && problem "the configuration key is left"
grep -q 'Uninstall\\\\TorvaneScanner\]' "$prefix/system.reg" && problem "the uninstall entry is left"

"$wine_dir/wineserver" -k 2>/dev/null || true
rm -rf "$prefix"
if ((fail)); then
  exit 1
fi
echo "ok: installed and uninstalled silently"

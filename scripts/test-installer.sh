#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installer as a user runs it, silently, in a fresh Wine prefix:
#   scripts/test-installer.sh TorvaneScanner-setup.exe PREFIX [x86]
# PREFIX is removed and created again. After `setup.exe /S` the data source,
# both driver DLLs and the uninstaller are in C:\windows\twain_64\Torvane\,
# the configuration key holds its defaults and the uninstall entry is
# there; with x86 (an installer with the 32-bit files) the 32-bit source and
# DLLs are in twain_32\Torvane\ and the key is in the registry's 32-bit view
# too. After `Uninstall.exe /S` none of them is left.
set -euo pipefail

setup="$1"
prefix="$2"
x86="${3:-}"
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
x86_folder="$prefix/drive_c/windows/twain_32/Torvane"
x86_key='Software\\\\Wow6432Node\\\\Torvane\\\\TWAIN'
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
if [[ "$x86" == x86 ]]; then
  for file in TorvaneScanner.ds RM735.dll KT918.dll; do
    [[ -f "$x86_folder/$file" ]] || problem "the 32-bit $file was not installed"
  done
  grep -qx '"DEBUGLEVEL"=dword:00000000' <<<"$(key_section "$x86_key")" ||
    problem "no 32-bit configuration key: $(key_section "$x86_key")"
  echo "installed for 32-bit applications: $(ls "$x86_folder" | tr '\n' ' ')"
fi
echo "installed: $(ls "$folder" | tr '\n' ' ')"

"$wine_dir/wine64" 'C:\windows\twain_64\Torvane\Uninstall.exe' /S
"$wine_dir/wineserver" -w
[[ ! -e "$folder" ]] || problem "left behind: $(ls "$folder" | tr '\n' ' ')"
grep -q '^\[Software\\\\Torvane\\\\TWAIN\]' "$prefix/system.reg" && problem "the configuration key is left"
grep -q 'Uninstall\\\\TorvaneScanner\]' "$prefix/system.reg" && problem "the uninstall entry is left"
[[ ! -e "$x86_folder" ]] || problem "left behind in twain_32: $(ls "$x86_folder" | tr '\n' ' ')"
grep -q "^\[$x86_key\]" "$prefix/system.reg" && problem "the 32-bit configuration key is left"

"$wine_dir/wineserver" -k 2>/dev/null || true
rm -rf "$prefix"
if ((fail)); then
  exit 1
fi
echo "ok: installed and uninstalled silently"

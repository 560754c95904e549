#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the Windows DLL as a front end will meet it:
#   scripts/check-windows-dll.sh OBJDUMP RM735.dll [KT918.dll]
# a PE32+ x86-64 DLL (PE32 x86 for an i686 OBJDUMP); exports: exactly the 27
# names of src/exports/torvane.def; a shared section for ScanBusy; no C++
# runtime, GCC runtime or winpthread DLL imported; KT918.dll the same file.
set -euo pipefail

objdump="$1"
dll="$2"
second="${3:-}"
root="$(cd "$(dirname "$0")/.." && pwd)"
def="$root/src/exports/torvane.def"
fail=0
problem() { echo "FAIL: $*" >&2; fail=1; }

headers="$("$objdump" -p "$dll")"
# The 32-bit build's objdump (i686-w64-mingw32-objdump) checks an x86 PE32 file.
format=pei-x86-64 magic=020b kind="PE32+"
[[ "$(basename "$objdump")" == i686-* ]] && format=pei-i386 magic=010b kind="PE32"
grep -q "file format $format" <<<"$headers" || problem "$dll is not a $format image"
grep -qE "^Magic[[:space:]]+$magic" <<<"$headers" || problem "$dll is not $kind"
# The flags listed under Characteristics, up to the first empty line.
awk '/^Characteristics/ {on=1; next} on && /^$/ {exit} on' <<<"$headers" | grep -qx $'\tDLL' ||
  problem "$dll is not a DLL"

# Exported names: the [Ordinal/Name Pointer] table.
exported="$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[[:space:]]*\[/ {print $NF; next} on {exit}' <<<"$headers" | sort)"
allowed="$(sed -n '/^EXPORTS/,$p' "$def" | grep -E '^[[:space:]]+[A-Za-z]' | sed -E 's/^[[:space:]]+//; s/=.*//' | sort)"
[[ $(wc -l <<<"$allowed") -eq 27 ]] || problem "torvane.def does not list 27 names"
while read -r name; do
  [[ -z "$name" ]] && continue
  grep -qx "$name" <<<"$allowed" || problem "unexpected export $name"
done <<<"$exported"
while read -r name; do
  [[ -n "$name" ]] && problem "missing export $name"
done < <(comm -23 <(echo "$allowed") <(echo "$exported"))
echo "exports: $(grep -c . <<<"$exported") of 27"

imports="$(grep -E "DLL Name:" <<<"$headers" | awk '{print $3}')"
echo "imports: $(tr '\n' ' ' <<<"$imports")"
if grep -qiE "libstdc|libgcc|winpthread|libatomic|libssp" <<<"$imports"; then
  problem "a C++ or GCC runtime DLL is imported"
fi

"$objdump" -h "$dll" | grep -A1 -E "^ +[0-9]+ \.shared " | grep -q SHARED || problem "no shared section .shared"

if [[ -n "$second" ]]; then
  cmp -s "$dll" "$second" || problem "$second differs from $dll"
fi

if ((fail)); then
  exit 1
fi
echo "ok: $dll"

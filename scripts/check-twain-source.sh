#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the TWAIN data source as a manager will meet it:
#   scripts/check-twain-source.sh OBJDUMP TorvaneScanner.ds
# a PE32+ x86-64 DLL (PE32 x86 for an i686 OBJDUMP) whose one export is
# DS_Entry, importing no C++ runtime, GCC runtime or winpthread DLL.
set -euo pipefail

objdump="$1"
source="$2"
fail=0
problem() { echo "FAIL: $*" >&2; fail=1; }

headers="$("$objdump" -p "$source")"
# The 32-bit build's objdump (i686-w64-mingw32-objdump) checks an x86 PE32 file.
format=pei-x86-64 magic=020b kind="PE32+"
[[ "$(basename "$objdump")" == i686-* ]] && format=pei-i386 magic=010b kind="PE32"
grep -q "file format $format" <<<"$headers" || problem "$source is not a $format image"
grep -qE "^Magic[[:space:]]+$magic" <<<"$headers" || problem "$source is not $kind"
awk '/^Characteristics/ {on=1; next} on && /^$/ {exit} on' <<<"$headers" | grep -qx $'\tDLL' ||
  problem "$source is not a DLL"

exported="$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[[:space:]]*\[/ {print $NF; next} on {exit}' <<<"$headers")"
[[ "$exported" == "DS_Entry" ]] || problem "exports are not exactly DS_Entry: $(tr '\n' ' ' <<<"$exported")"

imports="$(grep -E "DLL Name:" <<<"$headers" | awk '{print $3}')"
echo "imports: $(tr '\n' ' ' <<<"$imports")"
if grep -qiE "libstdc|libgcc|winpthread|libatomic|libssp" <<<"$imports"; then
  problem "a C++ or GCC runtime DLL is imported"
fi

if ((fail)); then
  exit 1
fi
echo "ok: $source"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the TWAIN data source as a manager will meet it:
#   scripts/check-twain-source.sh OBJDUMP TorvaneScanner.ds
# a PE32+ x86-64 DLL whose one export is DS_Entry, importing no C++ runtime,
# GCC runtime or winpthread DLL.
set -euo pipefail

objdump="$1"
source="$2"
fail=0
problem() { echo "FAIL: $*" >&2; fail=1; }

headers="$("$objdump" -p "$source")"
grep -q "file format pei-x86-64" <<<"$headers" || problem "$source is not a PE x86-64 image"
grep -qE "^Magic[[:space:]]+020b" <<<"$headers" || problem "$source is not PE32+"
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

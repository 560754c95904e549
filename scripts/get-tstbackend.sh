#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds SANE's backend tester, tstbackend, from Debian's sane-backends source
# package: only frontend/tstbackend.c is taken out of the archive (no other
# file of it is extracted or opened), and compiled against libsane-dev.
# Usage: scripts/get-tstbackend.sh OUTPUT_DIR   (leaves OUTPUT_DIR/tstbackend)
set -euo pipefail
out=$(realpath -m "${1:?output folder}")
mkdir -p "$out"
[[ -x "$out/tstbackend" ]] && exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A private apt configuration with the source index of the machine's own
# package sources (their deb lines as deb-src), so that those stay as they are.
mkdir -p "$work/apt/lists/partial" "$work/apt/sources.list.d" "$work/src"
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [[ -s "$file" ]] && sed -n 's/^deb /deb-src /p' "$file" >> "$work/apt/sources.list"
done
for file in /etc/apt/sources.list.d/*.sources; do
  [[ -s "$file" ]] && sed 's/^Types:.*/Types: deb-src/' "$file" > "$work/apt/sources.list.d/$(basename "$file")"
done
touch "$work/apt/sources.list"
apt_options=(-o Dir::Etc::sourcelist="$work/apt/sources.list" -o Dir::Etc::sourceparts="$work/apt/sources.list.d"
             -o Dir::State::Lists="$work/apt/lists" -o APT::Get::List-Cleanup=0)
apt-get "${apt_options[@]}" update -q >/dev/null 2>&1
(cd "$work/src" && apt-get "${apt_options[@]}" source --download-only -q sane-backends >/dev/null 2>&1)
orig=$(ls "$work"/src/sane-backends_*.orig.tar.* | head -n 1)
tar -xf "$orig" -C "$work/src" --wildcards '*/frontend/tstbackend.c'
source_file=$(find "$work/src" -path '*/frontend/tstbackend.c' | head -n 1)
# It includes "../include/sane/..." beside its own folder: SANE's public
# headers from libsane-dev, the one line of config.h it needs, and an empty
# sanei.h (it uses nothing of the internal helpers).
mkdir -p "$out/frontend" "$out/include/sane"
cp "$source_file" "$out/frontend/tstbackend.c"
ln -sf /usr/include/sane/sane.h /usr/include/sane/saneopts.h "$out/include/sane/"
echo '#define PACKAGE_STRING "sane-backends"' > "$out/include/sane/config.h"
echo '/* nothing of the internal helpers is used */' > "$out/include/sane/sanei.h"
cc -O1 -o "$out/tstbackend" "$out/frontend/tstbackend.c" -lsane

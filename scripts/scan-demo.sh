#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is needed, builds, and scans a page through the driver: on the
# scanner named by TORVANE_DEVICE_DIR, or else on an embedded simulated scanner.
set -euo pipefail
cd "$(dirname "$0")/.."
output="${1:-page.png}"

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

if [[ -x build/default/bin/torvane-scan ]]; then
  build/default/bin/torvane-scan --resolution 150 --mode color -o "$output"
  echo "scanned page written to $output"
else
  # The front end is not built yet: show the driver frame loading instead.
  ctest --preset default -R SharedObject
fi

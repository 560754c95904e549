#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is needed, builds, and scans a page through the driver: on the
# scanner named by TORVANE_DEVICE_DIR, or else on torvane-scan's built-in
# simulated scanner.
set -euo pipefail
output="${1:-page.png}"
# The output is named from where the script was called, not from the checkout.
[[ "$output" == /* ]] || output="$PWD/$output"
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target torvane-scan

build/default/bin/torvane-scan --resolution 150 --mode color -o "$output"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs every test of the Linux build.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default

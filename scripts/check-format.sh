#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fails when a C++ source differs from the layout .clang-format gives it, and
# shows where. --fix rewrites the files instead. With file names,
# only those; else every tracked source of the driver, its tools and tests.
set -euo pipefail
cd "$(dirname "$0")/.."
formatter=${CLANG_FORMAT:-clang-format-14}
fix=0
if [[ "${1:-}" == "--fix" ]]; then
  fix=1
  shift
fi
if (($#)); then
  files=("$@")
else
  mapfile -t files < <(git ls-files -- src include protocol tools client sane sim twain tests bench |
    grep -E '\.(c|cc|cpp|h|hpp)$')
fi
if ((fix)); then
  "$formatter" -i "${files[@]}"
  exit 0
fi
# One run over all files; each difference is shown where it starts.
if ! "$formatter" --dry-run --Werror "${files[@]}"; then
  echo "check-format: the places above differ from .clang-format (scripts/check-format.sh --fix rewrites the files)" >&2
  exit 1
fi

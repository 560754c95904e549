#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every fuzz target of build/fuzz for SECONDS each (default 30), JOBS at
# a time (default 2), under AddressSanitizer and UBSan, starting from the
# committed seed corpus; new inputs go to a scratch corpus, not the repo.
# Fails when any target finds a crash (the input is kept under build/fuzz/).
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-30}"
jobs="${2:-2}"
bin=build/fuzz/fuzz
out=build/fuzz/runs
targets=(fuzz_inquiry fuzz_sense fuzz_nvm_record fuzz_button_report fuzz_window_readback fuzz_read_pipeline fuzz_fault_rule)
mkdir -p "$out"

runOne() {
  local target=$1
  mkdir -p "$out/$target/corpus" "$out/$target/crashes"
  if "$bin/$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/$target/crashes/" \
       "$out/$target/corpus" "tests/fuzz/corpus/$target" > "$out/$target/log.txt" 2>&1; then
    echo "$target: $(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$target/log.txt") runs, no crash"
  else
    echo "$target: CRASH, see $out/$target/log.txt"
    grep -E "ERROR|SUMMARY" "$out/$target/log.txt" | head -5
    return 1
  fi
}

# A target that crashes skips its exit handlers: the lock object of its
# driver instance (TQX5800.fuzzPID) stays; remove those of ended processes.
removeStaleLocks() {
  local object pid
  for object in /dev/shm/TQX5800.fuzz*; do
    [[ -e "$object" ]] || continue
    pid=${object##*.fuzz}
    kill -0 "$pid" 2>/dev/null || rm -f "$object"
  done
}
trap removeStaleLocks EXIT

failed=0
pids=()
for target in "${targets[@]}"; do
  runOne "$target" &
  pids+=($!)
  if ((${#pids[@]} >= jobs)); then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || failed=1
done
exit "$failed"

#!/usr/bin/env bash
# Runs every libFuzzer target in DIR for SECONDS each, keeping a corpus per target under
# build/fuzz-corpus. Fails when any target finds a crash.
set -euo pipefail
dir="$1"
seconds="$2"
status=0
for target in "$dir"/*_fuzz; do
  name=$(basename "$target")
  corpus="build/fuzz-corpus/$name"
  mkdir -p "$corpus"
  seeds="tests/fuzz/corpus/$name"
  [ -d "$seeds" ] || seeds=""
  echo "fuzzing $name for ${seconds}s"
  if ! "$target" "$corpus" $seeds -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="build/fuzz-corpus/$name-" \
      >"build/fuzz-corpus/$name.log" 2>&1; then
    tail -n 40 "build/fuzz-corpus/$name.log"
    status=1
  else
    grep -a -E '^(stat::number_of_executed_units|Done)' "build/fuzz-corpus/$name.log" || true
  fi
done
exit $status

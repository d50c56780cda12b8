#!/bin/bash
# Builds the fuzz preset and runs every fuzz target for a bounded time (the image reader for half
# of it) on a scratch copy of its seed corpus, so the committed seeds never grow. Prints executions and time per target; exits
# non-zero if a target fails to build or finds a fault (the input is kept under build/fuzz/).
#
#   fuzz/run.sh [seconds per target, default 60] [target...]
set -euo pipefail

cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_recv_packet fuzz_recv_framed fuzz_parse_packet fuzz_dump_hex fuzz_image_records)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

scratch=build/fuzz/run
mkdir -p "$scratch"
failed=0
for target in "${targets[@]}"; do
  corpus=$scratch/corpus/$target
  rm -rf "$corpus"
  mkdir -p "$corpus"
  cp fuzz/corpus/$target/* "$corpus/"
  log=$scratch/$target.log
  status=0
  # One process (no -jobs/-workers): the cores are shared with the rest of the build and tests.
  # The image reader takes text only, no line: half the time finds as much there.
  time=$seconds
  if [ "$target" = fuzz_image_records ]; then
    time=$(( (seconds + 1) / 2 ))
  fi
  build/fuzz/fuzz/$target -max_total_time="$time" -print_final_stats=1 \
    -artifact_prefix="$scratch/$target-" "$corpus" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  elapsed=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
  if [ $status -eq 0 ]; then
    echo "$target: ${runs:-?} executions in ${elapsed:-?} s (${rate:-?}/s), no fault"
  else
    failed=1
    echo "$target: FAILED (status $status) after ${runs:-?} executions; log $log:"
    grep -E 'invariant broken|ERROR: |runtime error|Test unit written' "$log" || tail -20 "$log"
  fi
done
exit $failed

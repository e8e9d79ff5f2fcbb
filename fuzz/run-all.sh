#!/usr/bin/env bash
# The long fuzzing run (`make fuzz`): every target in turn for SECONDS each,
# going on from the corpus that earlier long runs left in BUILD_DIR.
#
#   fuzz/run-all.sh BUILD_DIR SECONDS
#
# Each target's output goes to BUILD_DIR/fuzz-long/<target>.log, a crash
# reproducer (if any) beside it; one line per target tells how it went.
set -uo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
build=$1 seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
targets=(ini_file_fuzzer access_list_fuzzer command_file_fuzzer hand_off_text_fuzzer
         hand_off_frame_fuzzer producer_read_fuzzer now_playing_fuzzer)

passed=0 failed=0
for t in "${targets[@]}"; do
  work="$build/fuzz-long/$t"
  mkdir -p "$work"
  log="$build/fuzz-long/$t.log"
  if "$here/run.sh" --keep "$build/fuzz/$t" "$here/corpus/$t" "$work" \
      -max_total_time="$seconds" >"$log" 2>&1; then
    passed=$((passed + 1))
    verdict=ok
  else
    failed=$((failed + 1))
    verdict="FAILED (see $log)"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
  corpus=$(find "$work/corpus" -type f | wc -l)
  printf '%-22s %s: %s runs, %s/s, peak RSS %s MB, corpus %s inputs\n' \
    "$t" "$verdict" "${runs:-?}" "${rate:-?}" "${rss:-?}" "$corpus"
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

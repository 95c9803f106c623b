#!/usr/bin/env bash
# Runs every fuzz target that has a seed corpus for a while and reports its
# executions. The committed corpus stays untouched: libFuzzer adds what it
# finds to the folder it is given, so it gets a scratch copy.
#   fuzz/run_all.sh BUILD_DIR [SECONDS_PER_TARGET]
# Crash inputs are left as BUILD_DIR/fuzz/<target>-crash-*. Exits 1 when any
# target crashed, hung, ran out of memory or is missing.
set -u
build=${1:?usage: run_all.sh BUILD_DIR [SECONDS_PER_TARGET]}
seconds=${2:-10}
corpus=$(cd "$(dirname "$0")" && pwd)/corpus
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=0
for seeds in "$corpus"/*/; do
  target=$(basename "$seeds")
  binary=$build/fuzz/$target
  if [[ ! -x $binary ]]; then
    echo "$target: no binary at $binary"
    failed=1
    continue
  fi
  cp -R "$seeds" "$scratch/$target"
  log=$scratch/$target.log
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz/$target-" "$scratch/$target" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if ((status == 0)); then
    echo "$target: ${runs:-?} executions"
  else
    echo "$target: ${runs:-?} executions, FAILED (exit $status)"
    grep -m 1 -E '^==[0-9]+==|^SUMMARY|ERROR: libFuzzer' "$log"
    failed=1
  fi
done
exit "$failed"

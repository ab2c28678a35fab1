#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS seconds from
# the seed corpus in fuzz/corpus.  A finding is kept in BUILD/findings and
# shown with the command that replays it; the script then fails.
# Usage: fuzz/run.sh SECONDS [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${2:-build-fuzz}
targets="script_fuzz com_image_fuzz switches_fuzz fast_path_fuzz"

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

failed=0
for target in $targets; do
  work="$build/work/$target"
  findings="$build/findings/$target"
  mkdir -p "$work" "$findings"
  echo "fuzzing $target for $seconds s"
  if ! "$build/$target" -max_total_time="$seconds" -print_final_stats=0 \
      -artifact_prefix="$findings/" "$work" "fuzz/corpus/$target" >"$build/$target.log" 2>&1; then
    failed=1
    tail -n 30 "$build/$target.log"
    for finding in "$findings"/*; do
      [ -e "$finding" ] && echo "finding: $finding; replay with: $build/$target $finding"
    done
  fi
done
exit $failed

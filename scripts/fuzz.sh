#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz and runs each for a bounded
# time from the seed corpus in fuzz/<target>/. New inputs stay in the build
# folder; a crashing input is left there as crash-* and fails the run.
# Usage: scripts/fuzz.sh [seconds per target, default 30]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
dir=build-fuzz
targets=(${FUZZ_TARGETS:-protocol/keeper_records_fuzz keeper/client_handler_fuzz client/keeper_client_fuzz})

if ! CC=clang CXX=clang++ cmake -S . -B "$dir" -DVARDO_FUZZ=ON >"$dir.log" 2>&1 ||
   ! cmake --build "$dir" -j "$(nproc)" --target "${targets[@]##*/}" >>"$dir.log" 2>&1; then
  tail -40 "$dir.log"
  echo "fuzz build FAILED (see $dir.log)"
  exit 1
fi

status=0
for target in "${targets[@]}"; do
  name=${target##*/}
  corpus=$dir/corpus/$name
  mkdir -p "$corpus"
  # Run inside the build folder: the trace files land there too.
  if (cd "$dir" && "./$target" -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$name-" -print_final_stats=1 \
        "corpus/$name" "../fuzz/$name" >"$name.log" 2>&1); then
    echo "$name: $(grep -E '^stat::number_of_executed_units' "$dir/$name.log" | awk '{print $2}') runs, no crash"
  else
    echo "$name: FAILED, input left as $(ls "$dir/$name-"* 2>/dev/null | head -1) (see $dir/$name.log)"
    tail -30 "$dir/$name.log"
    status=1
  fi
done
exit $status

#!/usr/bin/env bash
# Runs end-to-end cases that spend their time waiting (whole seconds of
# check intervals, keep-alive periods, restart pauses, deadlines) side by
# side, each in namespaces of its own through ns_run.sh, longest first as
# given. What each printed and its exit status go to the results folder, from
# where each case's own CTest entry reports it (case_result.sh). Succeeds
# whatever the cases do: a failed case fails its own entry.
# Usage: run_side_by_side.sh <results folder> <jobs> <program>:<case>...
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 2 ] || { echo "usage: $0 <results folder> <jobs> <program>:<case>..." >&2; exit 2; }
results=$1 jobs=$2
shift 2
rm -rf "$results"
mkdir -p "$results" || exit 1

run_case() {   # <program>:<case>
  local program=${1%:*} name=${1##*:}
  timeout 300 "$here/ns_run.sh" "$program" --gtest_filter="$name" --gtest_also_run_disabled_tests \
    >"$results/$name.out" 2>&1
  echo $? >"$results/$name.rc"
}

running=0
for entry in "$@"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
  run_case "$entry" &
  running=$((running + 1))
done
wait

#!/usr/bin/env bash
# Reports one case that run_side_by_side.sh ran: what it printed, then its
# exit status as this script's own.
# Usage: case_result.sh <results folder> <case>
[ $# -eq 2 ] || { echo "usage: $0 <results folder> <case>" >&2; exit 2; }
results=$1 name=$2
[ -f "$results/$name.rc" ] || { echo "$name did not run"; exit 1; }
cat "$results/$name.out"
exit "$(cat "$results/$name.rc")"

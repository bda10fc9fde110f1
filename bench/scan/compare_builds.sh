#!/usr/bin/env bash
# Times two kyvscan builds (say, before and after a change) over the same folder, in processor
# time (user + system) of the best of RUNS runs each, the two alternating, and prints the ratio
# (after / before).
#   bench/scan/compare_builds.sh FOLDER KYVSCAN_BEFORE BASE_BEFORE KYVSCAN_AFTER BASE_AFTER [RUNS]
set -euo pipefail
folder=$1 before=$2 base_before=$3 after=$4 base_after=$5 runs=${6:-5}
times=$(mktemp)
trap 'rm -f "$times"' EXIT
cpu() { # kyvscan base -> processor seconds of one scan of the folder
  /usr/bin/time -f "%U %S" -o "$times" "$1" --base "$2" -q --no-summary "$folder" >/dev/null 2>&1 || true
  awk '{print $1 + $2}' "$times"
}
best_before=999999 best_after=999999
for _ in $(seq "$runs"); do
  t=$(cpu "$before" "$base_before"); best_before=$(echo "if ($t < $best_before) $t else $best_before" | bc)
  t=$(cpu "$after" "$base_after"); best_after=$(echo "if ($t < $best_after) $t else $best_after" | bc)
done
echo "before: ${best_before} s   after: ${best_after} s   (processor time, best of $runs)"
echo "ratio after/before: $(echo "scale=3; $best_after / $best_before" | bc)"

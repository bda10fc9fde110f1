#!/usr/bin/env bash
# Times two kyvscan builds (say, before and after a change to the mail reader) over the same
# folder of 2,000 ordinary messages, in processor time (user + system) of the best of RUNS runs
# each, the two alternating, and prints the ratio (after / before).
#   bench/scan/ordinary_messages.sh KYVSCAN_BEFORE BASE_BEFORE KYVSCAN_AFTER BASE_AFTER [COUNT] [RUNS]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
before=$1 base_before=$2 after=$3 base_after=$4 count=${5:-2000} runs=${6:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$top/bench/scan/make_ordinary_messages.py" "$work/mail" "$count"
echo "folder: $count messages, $(du -sk "$work/mail" | cut -f1) KiB"
cpu() { # kyvscan base -> processor seconds of one scan of the folder
  /usr/bin/time -f "%U %S" -o "$work/t" "$1" --base "$2" -q --no-summary "$work/mail" >/dev/null 2>&1 || true
  awk '{print $1 + $2}' "$work/t"
}
best_before=999999 best_after=999999
for _ in $(seq "$runs"); do
  t=$(cpu "$before" "$base_before"); best_before=$(echo "if ($t < $best_before) $t else $best_before" | bc)
  t=$(cpu "$after" "$base_after"); best_after=$(echo "if ($t < $best_after) $t else $best_after" | bc)
done
echo "before: ${best_before} s   after: ${best_after} s   (processor time, best of $runs)"
echo "ratio after/before: $(echo "scale=3; $best_after / $best_before" | bc)"

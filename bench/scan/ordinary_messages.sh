#!/usr/bin/env bash
# Times two kyvscan builds (say, before and after a change to the mail reader) over the same
# folder of 2,000 ordinary messages and prints the ratio (after / before), as compare_builds.sh
# measures it.
#   bench/scan/ordinary_messages.sh KYVSCAN_BEFORE BASE_BEFORE KYVSCAN_AFTER BASE_AFTER [COUNT] [RUNS]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
before=$1 base_before=$2 after=$3 base_after=$4 count=${5:-2000} runs=${6:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$top/bench/scan/make_ordinary_messages.py" "$work/mail" "$count"
echo "folder: $count messages, $(du -sk "$work/mail" | cut -f1) KiB"
"$top/bench/scan/compare_builds.sh" "$work/mail" "$before" "$base_before" "$after" "$base_after" "$runs"

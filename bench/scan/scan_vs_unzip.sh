#!/usr/bin/env bash
# Times a scan of a message with a large zipped attachment against unzipping the same attachment
# with Info-ZIP unzip into a folder, and prints the ratio (scan time / unzip time).
#   bench/scan/scan_vs_unzip.sh [KYVSCAN] [MEGABYTES] [RUNS]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
kyvscan=${1:-$top/build/native/bin/kyvscan}
megabytes=${2:-64}
runs=${3:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$top/bench/scan/make_message.py" "$work" "$megabytes"
echo "message: $(stat -c %s "$work/message.eml") bytes; attachment: $(stat -c %s "$work/attachment.zip") bytes"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
time_runs() {
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    echo "$end - $start" | bc
  done | median
}
scan=$(time_runs "$kyvscan" --no-summary "$work/message.eml")
unzip_time=$(time_runs sh -c "rm -rf '$work/out' && unzip -q -o '$work/attachment.zip' -d '$work/out'")
echo "scan of the message:      ${scan} s (median of $runs)"
echo "unzip of the attachment:  ${unzip_time} s (median of $runs)"
echo "ratio scan/unzip:         $(echo "scale=2; $scan / $unzip_time" | bc)"

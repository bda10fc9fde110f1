#!/usr/bin/env bash
# Times a scan of a large 7z (LZMA2 with the x86 branch filter) against extracting the same
# archive with 7zz into a folder, and prints the ratio (scan time / extraction time).
#   bench/scan/scan_vs_7z.sh [KYVSCAN] [MEGABYTES] [RUNS]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
kyvscan=${1:-$top/build/native/bin/kyvscan}
megabytes=${2:-140}
runs=${3:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$top/bench/scan/make_sevenzip.py" "$work/content" "$megabytes"
(cd "$work/content" && 7zz a -bd -bso0 -m0=LZMA2 -mf=BCJ -mx=1 "$work/archive.7z" . >/dev/null)
rm -rf "$work/content"
echo "archive: $(stat -c %s "$work/archive.7z") bytes"

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
scan=$(time_runs "$kyvscan" --no-summary "$work/archive.7z")
extract=$(time_runs sh -c "rm -rf '$work/out' && 7zz x -bd -y -o'$work/out' '$work/archive.7z'")
echo "scan of the archive:        ${scan} s (median of $runs)"
echo "7zz x into a folder:        ${extract} s (median of $runs)"
echo "ratio scan/extract:         $(echo "scale=2; $scan / $extract" | bc)"

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

. "$top/bench/scan/scan_timing.sh"
scan_vs_peer "$work/message.eml" "scan of the message" "unzip of the attachment" "ratio scan/unzip" \
  sh -c "rm -rf '$work/out' && unzip -q -o '$work/attachment.zip' -d '$work/out'"

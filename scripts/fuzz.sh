#!/usr/bin/env bash
# Runs every libFuzzer target of the fuzz build for SECONDS each (default 15; CI uses 8) on a copy of its
# seed corpus; any crash, leak or sanitizer report fails the run.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-15}
shift || true
bin="$top/build/fuzz/bin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(find "$bin" -maxdepth 1 -type f -name '*_fuzzer' -printf '%f\n' | sort)
fi
for t in "${targets[@]}"; do
  corpus=$(find "$top/fuzz" -type d -path "*/corpus/$t" | head -n 1)
  mkdir -p "$work/$t"
  [ -n "$corpus" ] && cp -r "$corpus/." "$work/$t/"
  echo "--- $t (${seconds}s)"
  (cd "$work" && "$bin/$t" -max_total_time="$seconds" -max_len=1048576 -rss_limit_mb=4096 \
      -print_final_stats=1 "$work/$t" 2>&1 | tail -n 12)
done

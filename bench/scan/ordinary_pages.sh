#!/usr/bin/env bash
# Times two kyvscan builds (say, before and after a change to the web page search) over the same
# folder of ordinary web pages and prints the ratio (after / before), as compare_builds.sh
# measures it. The pages are the HTML documentation installed on this machine (every *.html
# under /usr/share/doc, or under the folder given), copied so that links are not followed.
#   bench/scan/ordinary_pages.sh KYVSCAN_BEFORE BASE_BEFORE KYVSCAN_AFTER BASE_AFTER [PAGES] [RUNS]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
before=$1 base_before=$2 after=$3 base_after=$4 pages=${5:-/usr/share/doc} runs=${6:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/pages"
n=0
while IFS= read -r -d '' page; do
  n=$((n + 1))
  cp "$page" "$work/pages/$n.html"
done < <(find -L "$pages" -name '*.html' -type f -print0 2>/dev/null)
echo "folder: $n pages, $(du -sk "$work/pages" | cut -f1) KiB"
"$top/bench/scan/compare_builds.sh" "$work/pages" "$before" "$base_before" "$after" "$base_after" "$runs"

# Sourced by the benchmarks that time a whole scan against a peer program doing the same work
# (scan_vs_unzip.sh, scan_vs_7z.sh). Wall time, the median of $runs runs of each command.

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# Runs the command $runs times (its output and failure ignored); prints the median seconds.
time_runs() {
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    echo "$end - $start" | bc
  done | median
}

# scan_vs_peer FILE SCAN_LABEL PEER_LABEL RATIO_LABEL PEER_COMMAND...
# Times $kyvscan over FILE and the peer's command, and prints both times and the ratio scan/peer.
scan_vs_peer() {
  local file=$1 scan_label=$2 peer_label=$3 ratio_label=$4
  shift 4
  local scan peer
  scan=$(time_runs "$kyvscan" --no-summary "$file")
  peer=$(time_runs "$@")
  printf '%-28s%s s (median of %s)\n' "$scan_label:" "$scan" "$runs"
  printf '%-28s%s s (median of %s)\n' "$peer_label:" "$peer" "$runs"
  printf '%-28s%s\n' "$ratio_label:" "$(echo "scale=2; $scan / $peer" | bc)"
}

#!/usr/bin/env bash
# Times the scan of cabinets of 300 and 3,000 small members through the shipped front ends:
# kyvscan on Linux (the cabinet stand-in) and the plug-in under Wine (the system's cabinet.dll).
# Extraction is linear in the member count when the time per member stays the same at both
# sizes. Prints the best of three runs per cabinet and the time per member.
#   cab_members.sh KYVSCAN [BAVHOST.EXE KYVMAIL.DLL]
set -euo pipefail
kyvscan=$1 bavhost=${2:-} dll=${3:-}
command -v gcab >/dev/null || { echo "gcab missing" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all
for n in 300 3000; do
  mkdir -p "$work/m$n"
  (cd "$work/m$n" && for i in $(seq 1 "$n"); do printf 'member %s of the cabinet\n' "$i" > "f$i.txt"; done &&
   gcab -c -z "$work/c$n.cab" f*.txt)
done
best() { # command... -> the fastest of three runs, in milliseconds
  local best=0 start end ms
  for _ in 1 2 3; do
    start=$(date +%s%N); "$@" >/dev/null 2>&1 || true; end=$(date +%s%N)
    ms=$(((end - start) / 1000000))
    if [ "$best" -eq 0 ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}
report() { # label command...
  local label=$1; shift
  for n in 300 3000; do
    local ms; ms=$(best "$@" "$work/c$n.cab")
    printf '%-28s %5s members %7s ms %8s us/member\n' "$label" "$n" "$ms" "$((ms * 1000 / n))"
  done
}
report "kyvscan (stand-in)" "$kyvscan" --no-summary
if [ -n "$bavhost" ]; then
  wine "$bavhost" "$dll" "$work/c300.cab" >/dev/null 2>&1 || true # the first start makes the prefix
  report "plug-in (cabinet.dll)" wine "$bavhost" "$dll"
fi

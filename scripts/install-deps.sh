#!/usr/bin/env bash
# Installs the Debian packages a job needs when any is missing, then does nothing more.
#   install-deps.sh scan   what building and running the scanner needs (.ci/packages-scan)
#   install-deps.sh test   everything the tests use (.ci/packages): cross compilers, Wine, peers
# Needs root, or sudo. Safe to run again: it does nothing when everything is there.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
profile=${1:-test}
case "$profile" in
  scan) list=$top/.ci/packages-scan ;;
  test) list=$top/.ci/packages ;;
  *) echo "usage: install-deps.sh scan|test" >&2; exit 2 ;;
esac
mapfile -t wanted < <(grep -v '^\s*#' "$list" | sed 's/\s.*//' | grep -v '^$')

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Only the test set has 32-bit packages (Wine's 32-bit half). Debian-Security's i386 index lags
# the amd64 one and multi-arch packages must match versions, so that origin gets a low priority;
# this preference holds back security updates machine-wide, which is why it belongs to build
# machines and containers, never to a user's scan set-up.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  if ! dpkg --print-foreign-architectures | grep -q i386; then
    as_root dpkg --add-architecture i386
  fi
  if [ ! -f /etc/apt/preferences.d/kyv-security-i386 ]; then
    printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' |
      as_root tee /etc/apt/preferences.d/kyv-security-i386 >/dev/null
  fi
fi
as_root apt-get update -q
# Mail and scanning servers come as packages that start their system services; the tests run
# private instances of their own, so nothing is started while installing (unless the machine
# already has its own rule about that).
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | as_root tee "$policy" >/dev/null
  as_root chmod 755 "$policy"
  trap 'as_root rm -f "$policy"' EXIT
fi
echo "postfix postfix/main_mailer_type select No configuration" | as_root debconf-set-selections
as_root apt-get install -y -q --no-install-recommends "${missing[@]}"

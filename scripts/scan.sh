#!/usr/bin/env bash
# Installs what is missing, builds the native tools and the bundled BASE, and scans PATH...
# (by default the bundled sample message) with the bundled databases.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" scan
# The scanner alone: the tests and their packages belong to scripts/test.sh.
cmake --preset native -S "$top" -DKYV_TESTS=OFF >/dev/null
cmake --build "$top/build/native" --target kyvscan kyv_base_files -j"$(nproc)"
if [ $# -eq 0 ]; then set -- "$top/data/samples/sample.eml"; fi
exec "$top/build/native/bin/kyvscan" --chain "$@"

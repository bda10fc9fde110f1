#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the Linux tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the 32-bit Windows build's tests under Wine, and
# each fuzz target briefly on its seed corpus. (The plain native build is the one scan.sh makes;
# its tests are the same ones the sanitizer build runs.)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/install-deps.sh" test
jobs=$(nproc)
export WINEDEBUG=-all

for preset in ${KYV_TEST_PRESETS:-asan win32}; do
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  echo "=== $preset: test"
  ctest --preset "$preset" -j"$jobs"
done

echo "=== fuzz: build and run each target briefly"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs"
"$top/scripts/fuzz.sh" "${KYV_FUZZ_SECONDS:-15}"
echo "=== all tests passed"

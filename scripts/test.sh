#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the Linux tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the 32-bit Windows build's tests under Wine, and
# each fuzz target briefly on its seed corpus. (The plain native build is the one scan.sh makes;
# its tests are the same ones the sanitizer build runs.)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/install-deps.sh" test
echo "=== format"
"$top/scripts/check-format.sh"
jobs=$(nproc)
export WINEDEBUG=-all

# Wine runs the Windows build's tests with the kernel's 32-bit support; some virtual machines
# boot with it switched off (ia32_emulation=off), and then no 32-bit program starts at all.
can_run_win32() {
  local probe="$top/build/win32/bin/base_tests.exe"
  [ -f "$probe" ] && timeout 300 wine "$probe" --gtest_list_tests >/dev/null 2>&1
}

for preset in ${KYV_TEST_PRESETS:-asan win32}; do
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  if [ "$preset" = win32 ] && ! can_run_win32; then
    echo "=== $preset: NOT TESTED: this machine cannot run 32-bit programs under Wine"
    echo "    ($(/usr/lib/wine/wine --version 2>&1 | head -1)); the Windows build compiled, its tests did not run"
    continue
  fi
  echo "=== $preset: test"
  ctest --preset "$preset" -j"$jobs"
done

echo "=== fuzz: build and run each target briefly"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs"
"$top/scripts/fuzz.sh" "${KYV_FUZZ_SECONDS:-8}"
echo "=== all tests passed"

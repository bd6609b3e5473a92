#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs every test:
# the native build (unit, end-to-end and browser tests), the Debian package
# (installed on this machine and purged again), the RPM package (installed
# into a temporary root and erased), the same tests under
# AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer,
# the fuzz targets, and the Windows program and its installer under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh all </dev/null || exit 1

passed=0
failed=()
stage() {
  local name=$1
  shift
  echo "===== $name"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed+=("$name")
  fi
}
preset() {
  cmake --preset "$1" && cmake --build --preset "$1" && ctest --preset "$1" "${@:2}"
}

stage native preset native
# The Debian package, installed for real and used by Chromium, then purged.
stage deb env PYTHONDONTWRITEBYTECODE=1 python3 tests/packages/deb_test.py build/native
stage rpm env PYTHONDONTWRITEBYTECODE=1 python3 tests/packages/rpm_test.py
# Browsers and Wine gain nothing from sanitizing the companion they start,
# nor the docs' checks from sanitizing the programs whose options they read.
stage asan preset asan -LE 'browser|wine|docs'
stage tsan preset tsan -LE 'browser|wine|docs'
stage fuzz scripts/fuzz.sh
rm -f build/windows-suites.txt
stage windows scripts/test-windows.sh

echo "===== summary"
[[ ! -f build/windows-suites.txt ]] || cat build/windows-suites.txt
[[ ${#failed[@]} -eq 0 ]] || echo "failed stages: ${failed[*]}"
echo "stages: $passed passed, ${#failed[@]} failed"
[[ ${#failed[@]} -eq 0 ]]

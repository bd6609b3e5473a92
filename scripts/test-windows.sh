#!/usr/bin/env bash
# Builds the Windows companion and runs its tests under Wine.
#
# Preset "windows" builds the shipped 32-bit program and its tests; preset
# "windows-x64" builds the same sources 64-bit. The tests run in the 32-bit
# build when this machine can run 32-bit Wine, and otherwise in the 64-bit
# build under wine64 (a kernel without 32-bit emulation cannot run the former).
set -euo pipefail

cd "$(dirname "$0")/.."
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

build() {
  cmake --preset "$1" </dev/null
  cmake --build --preset "$1" </dev/null
}

# A shipped program must need no DLL beyond the system's own.
check_imports() {
  local dlls
  dlls=$("$1" -p "$2" | sed -n 's/^\s*DLL Name: //p')
  echo "$2 imports:" $dlls
  if grep -viE '^(kernel32|advapi32|secur32|shell32|ole32|msvcrt)\.dll$' <<<"$dlls"; then
    echo "error: $2 needs a DLL that Windows does not provide" >&2
    return 1
  fi
}

build windows
check_imports i686-w64-mingw32-objdump build/windows/companion.exe
build windows-x64
check_imports x86_64-w64-mingw32-objdump build/windows-x64/companion.exe

# 32-bit Wine counts only when it really runs the 32-bit program.
preset=windows-x64
loader=/usr/lib/wine/wine64
if /usr/lib/wine/wine --version >/dev/null 2>&1 &&
   [ "$(WINEPREFIX="$PWD/build/windows/wineprefix" timeout 300 /usr/lib/wine/wine \
        build/windows/companion.exe --version </dev/null 2>/dev/null | tr -d '\r')" = "Version: 1.0.2" ]; then
  preset=windows
  loader=/usr/lib/wine/wine
fi
echo "Running the tests of preset $preset under $loader"

export WINEPREFIX="$PWD/build/$preset/wineprefix"
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver32
stop_wineserver() { "$wineserver" -k >/dev/null 2>&1 || true; }
trap stop_wineserver EXIT

# One persistent server for the whole run (it puts itself in the background),
# and Wine's own service processes started here, detached from any test's
# output pipes, which they would otherwise inherit, keeping CTest waiting for
# the end of that output.
mkdir -p "$WINEPREFIX"
"$wineserver" -p </dev/null >/dev/null 2>&1
"$loader" cmd /c exit </dev/null >/dev/null 2>&1

status=0
ctest --preset "$preset" </dev/null || status=$?
stop_wineserver
trap - EXIT
exit "$status"

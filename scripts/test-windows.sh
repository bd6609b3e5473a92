#!/usr/bin/env bash
# Builds the Windows companion and runs its tests under Wine.
#
# Preset "windows" builds the shipped 32-bit program and its tests; preset
# "windows-x64" builds the same sources 64-bit. Where this machine runs 32-bit
# Wine, the suite runs on the 32-bit build and then on the 64-bit build; where
# it does not (a kernel without 32-bit emulation, or a 32-bit loader that
# scripts/install-deps.sh could not install), the 32-bit program is only
# built and import-checked, and the suite runs on the 64-bit build. The last
# line says which builds ran, and why the 32-bit one did not.
set -uo pipefail

cd "$(dirname "$0")/.."
source scripts/wine.sh

build() {
  cmake --preset "$1" </dev/null && cmake --build --preset "$1" </dev/null
}

# A shipped program must need no DLL beyond the system's own.
check_imports() {
  local dlls
  dlls=$("$1" -p "$2" | sed -n 's/^\s*DLL Name: //p')
  echo "$2 imports:" $dlls
  if [[ -z $dlls ]] || grep -viE '^(kernel32|advapi32|secur32|shell32|ole32|msvcrt)\.dll$' <<<"$dlls"; then
    echo "error: $2 needs a DLL that Windows does not provide" >&2
    return 1
  fi
}

# Why 32-bit Wine does not run the program: the installer's reason when it
# could not install the loader, else what the probe found.
why_not_32bit() {
  local reason_file=build/wine32-not-installed.txt
  if [[ ! -e $WINE32_LOADER && -s $reason_file ]]; then
    echo "32-bit Wine could not be installed: $(head -n1 "$reason_file")"
    return 1
  fi
  wine_runs32 "$@"
}

# The suite of one build, on its own prefix with a warm server. With a
# program to probe, the suite runs only if 32-bit Wine runs that program;
# otherwise skipped says why.
skipped=""
run_suite() {
  local preset=$1 probe=${2:-} prefix="$PWD/build/$1/wineprefix" status=0
  wine_start "$prefix" || return
  if [[ -n $probe ]] && ! skipped=$(why_not_32bit "$prefix" "$probe"); then
    wine_stop "$prefix"
    echo "32-bit: $probe was built and import-checked but not run: $skipped"
    return 0
  fi
  echo "Running the tests of preset $preset"
  ctest --preset "$preset" </dev/null || status=$?
  [[ $status -eq 0 ]] || echo "ctest --preset $preset failed with exit status $status" >&2
  wine_stop "$prefix"
  return "$status"
}

build windows || exit
check_imports i686-w64-mingw32-objdump build/windows/companion.exe || exit
build windows-x64 || exit
check_imports x86_64-w64-mingw32-objdump build/windows-x64/companion.exe || exit

ran=()
failed=()
if ! run_suite windows build/windows/companion.exe; then
  failed+=("32-bit")
elif [[ -z $skipped ]]; then
  ran+=("32-bit")
fi
if run_suite windows-x64; then ran+=("64-bit"); else failed+=("64-bit"); fi

summary="Windows builds whose suite ran and passed: ${ran[*]:-none}${failed:+; failed: ${failed[*]}}${skipped:+; 32-bit not run: $skipped}"
echo "$summary"
# The test command repeats it in its summary.
echo "$summary" >build/windows-suites.txt
[[ ${#failed[@]} -eq 0 ]]

#!/usr/bin/env bash
# Test of scripts/wine.sh: a warm server comes up whatever an earlier Wine
# program or an interrupted run left on the prefix, and the 32-bit check names
# a loader that the kernel refuses.
set -uo pipefail
source "$(dirname "$0")/../../scripts/wine.sh"

root=$(mktemp -d)
prefix="$root/prefix"
trap 'wine_stop "$prefix"; rm -rf "$root"' EXIT
failures=0
passes=0
check() {
  local name=$1
  shift
  if "$@"; then
    passes=$((passes + 1)); echo "ok: $name"
  else
    failures=$((failures + 1)); echo "FAILED: $name" >&2
  fi
}

# A server that a program started on its own exits a few seconds after the
# program; the warm one must still be there.
server_stays_up() {
  sleep 6
  WINEPREFIX=$prefix "$WINESERVER" -k </dev/null >/dev/null 2>&1
}

start_after_a_program_left_its_server() {
  wine_start "$prefix" && wine_stop "$prefix" || return
  WINEPREFIX=$prefix "$WINE64_LOADER" cmd /c exit </dev/null >/dev/null 2>&1 || return
  wine_start "$prefix" && server_stays_up
}

start_on_a_half_made_prefix() {
  rm -rf "$prefix"
  # Killed while Wine makes the prefix: it does not recover by itself.
  WINEPREFIX=$prefix timeout -s KILL 3 "$WINE64_LOADER" cmd /c exit </dev/null >/dev/null 2>&1
  wine_stop "$prefix"
  wine_start "$prefix" && server_stays_up
}

# A program for another machine: the kernel refuses it as it refuses a 32-bit
# program where 32-bit emulation is off.
refused_loader_is_reported() {
  local loader="$root/foreign-loader" reason
  cp /bin/true "$loader"
  printf '\xb7\x00' | dd of="$loader" bs=1 seek=18 conv=notrunc status=none
  if reason=$(WINE32_LOADER=$loader wine_runs32 "$prefix" companion.exe); then return 1; fi
  echo "  reason: $reason"
  [[ $reason == *"does not run 32-bit code"* ]]
}

missing_loader_is_reported() {
  local reason
  if reason=$(WINE32_LOADER="$root/none" wine_runs32 "$prefix" companion.exe); then return 1; fi
  [[ $reason == *"is not installed"* ]]
}

check "a warm server starts after a Wine program left its server running" start_after_a_program_left_its_server
check "a half-made prefix is made anew" start_on_a_half_made_prefix
check "a loader the kernel refuses is reported with the reason" refused_loader_is_reported
check "a missing 32-bit loader is reported" missing_loader_is_reported
echo "wine setup: $passes passed, $failures failed"
[[ $failures -eq 0 ]]

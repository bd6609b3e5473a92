#!/usr/bin/env bash
# Wine for the project's scripts and tests: one private prefix at a time, with
# one warm server and Wine's services started detached from any test's pipes.
# The one place that sets Wine's environment and names its loaders: the
# scripts source it, and CTest starts the Windows tests through it
# (cmake/mingw-common.cmake).
#
#   wine.sh start PREFIX     make PREFIX usable and leave a persistent server on it
#   wine.sh stop PREFIX      end that server and every Wine process of PREFIX
#   wine.sh runs32 PREFIX EXE
#                            whether the 32-bit loader runs EXE --version on the
#                            warm PREFIX; prints the reason when it does not
#   wine.sh run 32|64 PREFIX EXE [ARG...]
#                            run EXE under the 32- or 64-bit loader on PREFIX
#
# Sourced, it defines the first three as wine_start, wine_stop and
# wine_runs32. Every step that fails says which command failed and with what
# exit status. The loaders can be overridden with WINE64_LOADER and
# WINE32_LOADER (the tests stand a program that the kernel refuses in for the
# 32-bit one).
export WINEDEBUG=-all
# A fresh prefix would otherwise offer to install Mono and Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE64_LOADER=${WINE64_LOADER:-/usr/lib/wine/wine64}
WINE32_LOADER=${WINE32_LOADER:-/usr/lib/wine/wine}
if [[ -x /usr/lib/wine/wineserver64 ]]; then
  WINESERVER=/usr/lib/wine/wineserver64
else
  WINESERVER=/usr/lib/wine/wineserver32
fi
# A fresh prefix takes Wine about 20 s to make; a loaded machine, longer.
WINE_SETUP_TIMEOUT=${WINE_SETUP_TIMEOUT:-300}

source "$(dirname "${BASH_SOURCE[0]}")/lib/quiet.sh"

# Ends whatever server runs on the prefix (a persistent one, or the short-lived
# one that any Wine program leaves behind for a few seconds) and waits until
# it is gone, so that the next server can start.
wine_stop() {
  WINEPREFIX=$1 "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
  WINEPREFIX=$1 "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
}

# One attempt: a persistent server, then one program so that the services
# start now, detached, and the prefix is made or updated.
wine_try_start() {
  mkdir -p "$1" || return
  WINEPREFIX=$1 quietly wine.sh "$WINESERVER" -p || return
  WINEPREFIX=$1 quietly wine.sh timeout "$WINE_SETUP_TIMEOUT" "$WINE64_LOADER" cmd /c exit
}

# A prefix that an interrupted run left half made does not recover by itself:
# when the first attempt fails, the prefix is made anew once.
wine_start() {
  local prefix=$1
  wine_stop "$prefix"
  wine_try_start "$prefix" && return
  echo "wine.sh: making the Wine prefix $prefix anew" >&2
  wine_stop "$prefix"
  rm -rf "$prefix"
  wine_try_start "$prefix" && return
  local status=$?
  wine_stop "$prefix"
  echo "wine.sh: cannot set up the Wine prefix $prefix" >&2
  return "$status"
}

# 32-bit Wine counts only where it really runs the 32-bit program: a kernel
# without 32-bit emulation refuses the loader itself.
wine_runs32() {
  local prefix=$1 program=$2 output status=0
  if [[ ! -e $WINE32_LOADER ]]; then
    echo "$WINE32_LOADER is not installed"
    return 1
  fi
  # Started by bash itself: a binary the kernel refuses gives 126 here, where
  # timeout (through execvp) would hand it to /bin/sh as a script.
  "$WINE32_LOADER" --version </dev/null >/dev/null 2>&1 || status=$?
  if [[ $status -eq 126 ]]; then
    echo "$WINE32_LOADER cannot be executed (exit status 126): this kernel does not run 32-bit code"
    return 1
  fi
  status=0
  output=$(WINEPREFIX=$prefix timeout 120 "$WINE32_LOADER" "$program" --version </dev/null 2>&1) || status=$?
  output=${output//$'\r'/}
  [[ $status -eq 0 && $output == "Version: "* ]] && return 0
  if [[ $status -eq 124 ]]; then
    echo "$WINE32_LOADER $program --version did not finish within 120 s"
  else
    echo "$WINE32_LOADER $program --version exited $status: ${output:0:200}"
  fi
  return 1
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -uo pipefail
  case ${1:-} in
    start) [[ $# -eq 2 ]] && { wine_start "$2"; exit; } ;;
    stop) [[ $# -eq 2 ]] && { wine_stop "$2"; exit 0; } ;;
    runs32) [[ $# -eq 3 ]] && { wine_runs32 "$2" "$3"; exit; } ;;
    run) [[ $# -ge 4 && $2 =~ ^(32|64)$ ]] && { loader=WINE$2_LOADER; WINEPREFIX=$3 exec "${!loader}" "${@:4}"; } ;;
  esac
  echo "usage: wine.sh start PREFIX | stop PREFIX | runs32 PREFIX EXE | run 32|64 PREFIX EXE [ARG...]" >&2
  exit 2
fi

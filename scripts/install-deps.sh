#!/usr/bin/env bash
# Installs the Debian packages that the build, the demo, the packages and the
# tests need, only those that are missing. Usage: install-deps.sh [build|package|all]
#
# A package list that cannot be refreshed (a mirror in the middle of a sync)
# never stops it: it goes on with the lists there are, and says so. Packages
# come in two steps: first everything required, whose failure fails the
# script naming the package and apt's reason; then, for "all", the 32-bit
# Wine loader on its own, which may fail: the Windows tests then run on the
# 64-bit build, and build/wine32-not-installed.txt holds the reason for
# scripts/test-windows.sh to report.
set -uo pipefail

# build: the Linux companion, the example agent and the demo (configuring
# the tests also looks for Python).
build=(cmake ninja-build g++ googletest python3)
# all: everything the tests need as well: the comparison relay, the browsers,
# clang for the fuzzers, the Windows cross build with Wine to run it, the
# libraries of the benchmark's peer host keepassxc-proxy, which the benchmark
# takes out of the keepassxc package without installing the application, and
# groff, with which the docs' check reads the manual pages.
# package: what scripts/package.sh needs for the Debian and RPM packages
# and the Windows installers, signing them and their checksums, and the
# packages' checkers.
packaging=(dpkg-dev lintian rpm rpmlint wixl msitools g++-mingw-w64-i686-posix
  osslsigncode gnupg openssl)
tests=(socat chromium firefox-esr clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64
  libqt5core5a libqt5network5 libbotan-2-19 groff-base)
wine32=wine32:i386

wine32_reason_file="$(cd "$(dirname "$0")/.." && pwd)/build/wine32-not-installed.txt"
update_attempts=${COMPANION_APT_UPDATE_ATTEMPTS:-3}
update_pause=${COMPANION_APT_UPDATE_PAUSE:-3}

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
apt() { DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "$@" </dev/null; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# The first error line of apt's output, or its last line when it has none.
first_error() { grep -m1 '^E: ' <<<"$1" || tail -n1 <<<"$1"; }

# Refreshes the lists, a few times if a list fails; then goes on with what
# there is.
update_lists() {
  local output attempt
  for ((attempt = 1; attempt <= update_attempts; attempt++)); do
    output=$(apt update -qq 2>&1) && return 0
    ((attempt < update_attempts)) && sleep "$update_pause"
  done
  echo "install-deps: some package lists could not be refreshed; going on with those there are: $(first_error "$output")"
}

# Installs the required packages; on failure names each one apt cannot
# install and why.
install_required() {
  local output package reason found=0
  output=$(apt install -y -qq "$@" 2>&1) && return 0
  for package in "$@"; do
    if ! reason=$(apt install -s -qq "$package" 2>&1); then
      echo "install-deps: cannot install $package: $(first_error "$reason")" >&2
      found=1
    fi
  done
  ((found)) || echo "install-deps: cannot install $*: $(first_error "$output")" >&2
  return 1
}

# The releases whose list for this machine's architecture is there but whose
# i386 list is not (its refresh failed): their packages for this machine may
# be newer than any i386 package can match.
releases_without_i386_list() {
  apt-get indextargets --format '$(ORIGIN)|$(CODENAME)|$(ARCHITECTURE)' 'Created-By: Packages' 2>/dev/null |
    awk -F'|' -v native="$(dpkg --print-architecture)" '
      $3 == native { has[$1 "|" $2] = 1 }
      $3 == "i386" { i386[$1 "|" $2] = 1 }
      END { for (r in has) if (!(r in i386)) print r }'
}

# Multi-arch needs the same version of a library for both architectures.
# When a release has no i386 list, this one command leaves that release out
# (a pin of priority -1 in a temporary preferences file, beside the system's
# own preferences), so that both architectures come from the releases whose
# lists they share. apt still upgrades nothing that is not needed and never
# downgrades.
install_without_releases() {
  local preferences status=0 origin codename
  preferences=$(mktemp)
  [[ -f /etc/apt/preferences ]] && cat /etc/apt/preferences >>"$preferences"
  while IFS='|' read -r origin codename; do
    printf '\nPackage: *\nPin: release o=%s,n=%s\nPin-Priority: -1\n' "$origin" "$codename" >>"$preferences"
  done <<<"$1"
  apt -o Dir::Etc::Preferences="$preferences" install -y -qq "$wine32" >/dev/null 2>&1 || status=$?
  rm -f "$preferences"
  return "$status"
}

# Installs the 32-bit loader; on failure prints apt's reason.
install_wine32() {
  local output releases
  output=$(apt install -y -qq "$wine32" 2>&1) && return 0
  releases=$(releases_without_i386_list)
  [[ -n $releases ]] && install_without_releases "$releases" && return 0
  first_error "$output"
  return 1
}

kind=${1:-all}
packages=("${build[@]}")
case "$kind" in
  build) ;;
  package) packages+=("${packaging[@]}") ;;
  all) packages+=("${packaging[@]}" "${tests[@]}") ;;
  *) echo "usage: $0 [build|package|all]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
want_wine32=0
if [[ $kind == all ]]; then
  if installed "$wine32"; then rm -f "$wine32_reason_file"; else want_wine32=1; fi
fi
[[ ${#missing[@]} -eq 0 && $want_wine32 -eq 0 ]] && exit 0

if ((want_wine32)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386 || exit
fi
wanted=("${missing[@]}")
((want_wine32)) && wanted+=("$wine32")
echo "Installing: ${wanted[*]}"
update_lists
if [[ ${#missing[@]} -gt 0 ]]; then
  install_required "${missing[@]}" || exit 1
fi
if ((want_wine32)); then
  if reason=$(install_wine32); then
    rm -f "$wine32_reason_file"
  else
    echo "install-deps: 32-bit Wine could not be installed: $reason (the Windows tests run on the 64-bit build)"
    mkdir -p "$(dirname "$wine32_reason_file")" && echo "$reason" >"$wine32_reason_file"
  fi
fi
exit 0

#!/usr/bin/env bash
# Installs the Debian packages that the build, the demo, the packages and the
# tests need, only those that are missing. Usage: install-deps.sh [build|package|all]
set -euo pipefail

# build: the Linux companion, the example agent and the demo (configuring
# the tests also looks for Python).
build=(cmake ninja-build g++ googletest python3)
# all: everything the tests need as well: the comparison relay, the browsers,
# clang for the fuzzers, and the Windows cross build with Wine to run it.
# package: what scripts/package.sh needs for the Debian package and the
# Windows installer.
packaging=(dpkg-dev lintian wixl g++-mingw-w64-i686-posix)
tests=(socat chromium firefox-esr clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 wine32:i386)

packages=("${build[@]}")
case "${1:-all}" in
  package) packages+=("${packaging[@]}") ;;
  all) packages+=("${packaging[@]}" "${tests[@]}") ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null

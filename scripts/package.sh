#!/usr/bin/env bash
# Builds the installable packages into build/packages/: the Debian package
# (deb) and the per-user Windows installer (msi), or both (all, the default).
#
#   COMPANION_CHROME_EXTENSION_IDS=<ids> COMPANION_FIREFOX_EXTENSION_IDS=<ids> scripts/package.sh [deb|msi|all]
#
# The ids (separated by ",") are the extensions allowed to start the
# companion, as for `cmake --install`; a package needs at least one. Installs
# what it needs first. Each package comes from a build directory of its own
# (build/package-deb, build/package-msi), configured for that package.
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-all}
[[ $what =~ ^(deb|msi|all)$ ]] || { echo "usage: $0 [deb|msi|all]" >&2; exit 2; }
out=$PWD/build/packages
ids=(-DCOMPANION_CHROME_EXTENSION_IDS="${COMPANION_CHROME_EXTENSION_IDS:-}"
  -DCOMPANION_FIREFOX_EXTENSION_IDS="${COMPANION_FIREFOX_EXTENSION_IDS:-}")

scripts/install-deps.sh package </dev/null
mkdir -p "$out"

deb() {
  local build=build/package-deb
  rm -f "$out"/companion_*.deb
  # Debian's hardening flags, with immediate binding as well.
  CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    LDFLAGS="$(dpkg-buildflags --get LDFLAGS) -Wl,-z,now" \
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCOMPANION_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCOMPANION_MANIFEST_SCOPE=system "${ids[@]}" >/dev/null
  cmake --build "$build" --target companion companion-doctor
  (cd "$build" && cpack -G DEB -B "$out/deb-staging")
  mv "$out"/deb-staging/companion_*.deb "$out/"
  rm -rf "$out/deb-staging"
}

msi() {
  local build=build/package-msi
  rm -f "$out"/companion-*.msi
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
    -DCOMPANION_BUILD_TESTS=OFF "${ids[@]}" >/dev/null
  cmake --build "$build" --target companion-msi
  cp "$build"/packages/companion-*.msi "$out/"
}

[[ $what == msi ]] || deb
[[ $what == deb ]] || msi
ls -l "$out"

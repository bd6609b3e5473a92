#!/usr/bin/env bash
# Builds the installable packages into build/packages/: the Debian package
# (deb), the RPM package (rpm) and the Windows installers, per user and per
# machine (msi), or all of them (all, the default).
#
#   COMPANION_CHROME_EXTENSION_IDS=<ids> COMPANION_FIREFOX_EXTENSION_IDS=<ids> scripts/package.sh [deb|rpm|msi|all]
#
# The ids (separated by ",") are the extensions allowed to start the
# companion, as for `cmake --install`; a package needs at least one. Installs
# what it needs first. Each kind comes from a build of its own, configured by
# its preset in CMakePresets.json (package-deb, package-rpm, package-msi, each
# built in build/<preset>).
#
# The packages are reproducible: every time in them is SOURCE_DATE_EPOCH,
# taken from the last commit unless it is set already, so two builds of one
# commit are byte-identical wherever the checkout is.
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-all}
[[ $what =~ ^(deb|rpm|msi|all)$ ]] || { echo "usage: $0 [deb|rpm|msi|all]" >&2; exit 2; }
out=$PWD/build/packages
ids=(-DCOMPANION_CHROME_EXTENSION_IDS="${COMPANION_CHROME_EXTENSION_IDS:-}"
  -DCOMPANION_FIREFOX_EXTENSION_IDS="${COMPANION_FIREFOX_EXTENSION_IDS:-}")

scripts/install-deps.sh package </dev/null
mkdir -p "$out"
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  if SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) && [[ -n $SOURCE_DATE_EPOCH ]]; then
    export SOURCE_DATE_EPOCH
  else
    unset SOURCE_DATE_EPOCH
    echo "package.sh: not a git checkout and no SOURCE_DATE_EPOCH: the packages carry today's times" >&2
  fi
fi

# Configures and builds the preset's programs, with the extension ids.
build_preset() {
  cmake --preset "$1" "${ids[@]}" >/dev/null
  cmake --build --preset "$1"
}

# A Linux package of the given CPack generator (DEB or RPM) and file pattern,
# from the given preset's build.
linux_package() {
  local generator=$1 pattern=$2 preset=$3
  rm -f "$out"/$pattern
  # Debian's hardening flags, with immediate binding as well.
  CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    LDFLAGS="$(dpkg-buildflags --get LDFLAGS) -Wl,-z,now" build_preset "$preset"
  rm -rf "$out/$generator-staging"
  (cd "build/$preset" && cpack -G "$generator" -B "$out/$generator-staging")
  mv "$out/$generator-staging"/$pattern "$out/"
  rm -rf "$out/$generator-staging"
}

package_deb() { linux_package DEB 'companion_*.deb' package-deb; }
package_rpm() { linux_package RPM 'companion-*.rpm' package-rpm; }

package_msi() {
  rm -f "$out"/companion-*.msi
  build_preset package-msi
  cp build/package-msi/packages/companion-*.msi "$out/"
}

[[ $what != deb && $what != all ]] || package_deb
[[ $what != rpm && $what != all ]] || package_rpm
[[ $what != msi && $what != all ]] || package_msi
ls -l "$out"

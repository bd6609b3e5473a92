#!/usr/bin/env bash
# Builds the installable packages into build/packages/: the Debian package
# (deb), the RPM package (rpm) and the Windows installers, per user and per
# machine (msi), or all of them (all, the default); then SHA256SUMS there,
# the checksums of the packages it built, for `sha256sum -c` in that folder.
#
#   COMPANION_CHROME_EXTENSION_IDS=<ids> COMPANION_FIREFOX_EXTENSION_IDS=<ids> scripts/package.sh [deb|rpm|msi|all]...
#
# The ids (separated by ",") are the extensions allowed to start the
# companion, as for `cmake --install`; a package needs at least one. Installs
# what it needs first. Each kind comes from a build of its own, configured by
# its preset in CMakePresets.json (package-deb, package-rpm, package-msi, each
# built in build/<preset>).
#
# Signing, each when its variable is set (a failure fails the run):
#   COMPANION_SIGNING_PKCS12         a PKCS#12 file whose certificate and key
#                                    sign companion.exe and companion-doctor.exe
#                                    (Authenticode, SHA-256, osslsigncode) before
#                                    they go into the installers, then both
#                                    installers
#   COMPANION_SIGNING_PASSWORD_FILE  a file holding its password alone, which
#                                    osslsigncode reads: no command line has it
#   COMPANION_SIGNING_TIMESTAMP_URL  an RFC 3161 time-stamping service that
#                                    countersigns each signature
#   COMPANION_SIGNING_GPG_KEY        a key of the caller's GnuPG keyring, which
#                                    signs SHA256SUMS into SHA256SUMS.asc
#                                    (detached, armored)
#
# The packages are reproducible: every time in them is SOURCE_DATE_EPOCH,
# taken from the last commit unless it is set already, so two builds of one
# commit are byte-identical wherever the checkout is (unsigned: a signature
# carries the time it was made).
set -euo pipefail

fail() { echo "package.sh: $*" >&2; exit 2; }
kinds=("${@:-all}")
for kind in "${kinds[@]}"; do
  [[ $kind =~ ^(deb|rpm|msi|all)$ ]] || fail "usage: $0 [deb|rpm|msi|all]..."
done
# The signing files, as absolute paths before the folder changes.
for name in COMPANION_SIGNING_PKCS12 COMPANION_SIGNING_PASSWORD_FILE; do
  [[ -z ${!name:-} ]] || [[ -r ${!name} ]] || fail "$name: cannot read ${!name}"
  [[ -z ${!name:-} ]] || declare "$name=$(realpath -- "${!name}")"
done
# A password or time-stamping service without a certificate is a mistake, not
# a request for unsigned installers.
if [[ -z ${COMPANION_SIGNING_PKCS12:-} && -n ${COMPANION_SIGNING_PASSWORD_FILE:-}${COMPANION_SIGNING_TIMESTAMP_URL:-} ]]
then
  fail "COMPANION_SIGNING_PASSWORD_FILE and COMPANION_SIGNING_TIMESTAMP_URL need COMPANION_SIGNING_PKCS12"
fi
cd "$(dirname "$0")/.."

out=$PWD/build/packages
ids=(-DCOMPANION_CHROME_EXTENSION_IDS="${COMPANION_CHROME_EXTENSION_IDS:-}"
  -DCOMPANION_FIREFOX_EXTENSION_IDS="${COMPANION_FIREFOX_EXTENSION_IDS:-}")

scripts/install-deps.sh package </dev/null
mkdir -p "$out"
rm -f "$out/SHA256SUMS" "$out/SHA256SUMS.asc"
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  if SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) && [[ -n $SOURCE_DATE_EPOCH ]]; then
    export SOURCE_DATE_EPOCH
  else
    unset SOURCE_DATE_EPOCH
    echo "package.sh: not a git checkout and no SOURCE_DATE_EPOCH: the packages carry today's times" >&2
  fi
fi

# Configures and builds the preset's programs, with the extension ids and the
# given options.
build_preset() {
  cmake --preset "$1" "${ids[@]}" "${@:2}" >/dev/null
  cmake --build --preset "$1"
}

# The packages built so far, as names in $out.
built=()

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
  built+=("$(cd "$out" && echo $pattern)")
}

package_deb() { linux_package DEB 'companion_*.deb' package-deb; }
package_rpm() { linux_package RPM 'companion-*.rpm' package-rpm; }

# The installers, built anew (so that no older version's is left beside
# them) and signed when asked.
package_msi() {
  local msi
  rm -f "$out"/companion-*.msi build/package-msi/packages/companion-*.msi
  build_preset package-msi -DCOMPANION_SIGNING_PKCS12="${COMPANION_SIGNING_PKCS12:-}" \
    -DCOMPANION_SIGNING_PASSWORD_FILE="${COMPANION_SIGNING_PASSWORD_FILE:-}" \
    -DCOMPANION_SIGNING_TIMESTAMP_URL="${COMPANION_SIGNING_TIMESTAMP_URL:-}"
  for msi in build/package-msi/packages/companion-*.msi; do
    cp "$msi" "$out/"
    built+=("${msi##*/}")
  done
}

wants() { [[ " ${kinds[*]} " == *" $1 "* || " ${kinds[*]} " == *" all "* ]]; }
! wants deb || package_deb
! wants rpm || package_rpm
! wants msi || package_msi
(cd "$out" && sha256sum -- "${built[@]}" >SHA256SUMS)
if [[ -n ${COMPANION_SIGNING_GPG_KEY:-} ]]; then
  gpg --batch --yes --local-user "$COMPANION_SIGNING_GPG_KEY" --armor --detach-sign \
    --output "$out/SHA256SUMS.asc" "$out/SHA256SUMS"
fi
ls -l "$out"

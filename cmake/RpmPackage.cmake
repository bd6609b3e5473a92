# The RPM package's own settings (included by cmake/LinuxPackages.cmake), for
# distributions such as Fedora and openSUSE: built by rpmbuild through
# `cpack -G RPM`, with the /usr/lib64 Firefox and LibreWolf folders as well
# (the build has COMPANION_LIB64_MANIFESTS=ON).
include("${CMAKE_CURRENT_LIST_DIR}/Manifests.cmake")

set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE "LicenseRef-Vantro-Proprietary")
set(CPACK_RPM_PACKAGE_URL "https://vantro.example/companion")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# RPM summaries start with a capital letter, Debian's do not.
set(CPACK_RPM_PACKAGE_SUMMARY "Relay between a browser extension and the Vantro desktop agent")
# Requires from the libraries the programs link (rpmbuild's own dependency
# generator); nothing runs on install or erase.
set(CPACK_RPM_PACKAGE_AUTOREQPROV ON)

# The folders the base system owns (Fedora's and openSUSE's filesystem
# package) are not the package's; the browsers' folders are, so that an
# erase removes them when no other package claims them.
list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /etc/opt /usr/share/man /usr/share/man/man1)

# The manifests under /etc are configuration: rpm keeps one the administrator
# changed (as .rpmsave on erase). The copyright file is the licence.
set(CPACK_RPM_USER_FILELIST "%license ${CMAKE_INSTALL_FULL_DATADIR}/doc/companion/copyright")
companion_etc_manifests(_companion_rpm_config)
foreach(_companion_manifest IN LISTS _companion_rpm_config)
  list(APPEND CPACK_RPM_USER_FILELIST "%config(noreplace) ${_companion_manifest}")
endforeach()

# The changelog of this version, dated by the package's time.
string(TIMESTAMP _companion_rpm_date "%a %b %d %Y" UTC)
file(WRITE "${CMAKE_BINARY_DIR}/rpm/changelog"
     "* ${_companion_rpm_date} ${COMPANION_PACKAGE_MAINTAINER} - ${PROJECT_VERSION}-${CPACK_RPM_PACKAGE_RELEASE}\n"
     "- Release ${PROJECT_VERSION}.\n")
set(CPACK_RPM_CHANGELOG_FILE "${CMAKE_BINARY_DIR}/rpm/changelog")

# Reproducible: the build time and host in the header are fixed, every file's
# time is clamped to SOURCE_DATE_EPOCH, and no build-id links are added.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${COMPANION_PACKAGE_MAINTAINER}
%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _build_id_links none")

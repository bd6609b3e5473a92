# The Debian package's own settings (included by cmake/LinuxPackages.cmake):
# its control fields, its changelog and lintian override, and the /etc
# manifests as conffiles.
include("${CMAKE_CURRENT_LIST_DIR}/Manifests.cmake")

set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${COMPANION_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends from the libraries the programs link, through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(_companion_debian "${CMAKE_BINARY_DIR}/debian")
# A changelog of this version, and the one lintian override (explained in it).
# Its date is the package's time: SOURCE_DATE_EPOCH, which string(TIMESTAMP)
# honours, else now.
string(TIMESTAMP _companion_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${_companion_debian}/changelog"
     "companion (${PROJECT_VERSION}) stable; urgency=medium\n\n  * Release ${PROJECT_VERSION}.\n\n"
     " -- ${COMPANION_PACKAGE_MAINTAINER}  ${_companion_date}\n")
execute_process(COMMAND gzip -9nf "${_companion_debian}/changelog" COMMAND_ERROR_IS_FATAL ANY)
install(FILES "${_companion_debian}/changelog.gz" DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/companion" COMPONENT debian)
install(FILES packaging/debian/lintian-overrides DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides"
        RENAME companion COMPONENT debian)

# The manifests under /etc are configuration: dpkg keeps a changed one on
# upgrade and removes them on purge.
companion_etc_manifests(_companion_conffiles)
list(TRANSFORM _companion_conffiles APPEND "\n")
list(JOIN _companion_conffiles "" _companion_conffiles)
file(WRITE "${_companion_debian}/conffiles" "${_companion_conffiles}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_companion_debian}/conffiles")

# The Debian package, built by `cpack -G DEB` (scripts/package.sh wraps it):
# the companion and companion-doctor in /usr/bin and the system-wide host
# manifests of every browser whose extension ids the build was given.
#
# The build must be configured for it: CMAKE_INSTALL_PREFIX=/usr,
# COMPANION_MANIFEST_SCOPE=system and at least one of the id options; cpack
# refuses any other build. The install step itself writes the manifests (under
# CPack's DESTDIR), so the package holds exactly what `cmake --install` writes.
set(COMPANION_PACKAGE_MAINTAINER "Vantro Packaging <packaging@vantro.example>" CACHE STRING
    "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME companion)
set(CPACK_PACKAGE_VENDOR Vantro)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay between a browser extension and the Vantro desktop agent")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The browser starts the companion through native messaging. It relays the
extension's bytes to the Vantro desktop agent's per-user socket and back,
unchanged. companion-doctor reports why a browser cannot start it.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${COMPANION_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends from the libraries the programs link, through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The manifests carry the installed path, so the package is staged with
# DESTDIR under the real prefix rather than installed into a staging prefix.
set(CPACK_SET_DESTDIR ON)
# The companion and the package's documents; not the example agent.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};companion;companion;/" "${CMAKE_BINARY_DIR};companion;debian;/")

set(_companion_debian "${CMAKE_BINARY_DIR}/debian")
# Debian's documents: the copyright file, a changelog of this version, the
# manual pages and the one lintian override (explained in it), compressed as
# Debian wants them.
string(TIMESTAMP _companion_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${_companion_debian}/changelog"
     "companion (${PROJECT_VERSION}) stable; urgency=medium\n\n  * Release ${PROJECT_VERSION}.\n\n"
     " -- ${COMPANION_PACKAGE_MAINTAINER}  ${_companion_date}\n")
file(COPY packaging/debian/companion.1 packaging/debian/companion-doctor.1 DESTINATION "${_companion_debian}")
foreach(_companion_file IN ITEMS changelog companion.1 companion-doctor.1)
  execute_process(COMMAND gzip -9nf "${_companion_debian}/${_companion_file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
install(FILES packaging/debian/copyright "${_companion_debian}/changelog.gz"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/companion" COMPONENT debian)
install(FILES "${_companion_debian}/companion.1.gz" "${_companion_debian}/companion-doctor.1.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT debian)
install(FILES packaging/debian/lintian-overrides DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides"
        RENAME companion COMPONENT debian)

# The manifests under /etc are configuration: dpkg keeps a changed one on
# upgrade and removes them on purge.
_companion_split_ids(_companion_chrome "${COMPANION_CHROME_EXTENSION_IDS}")
_companion_split_ids(_companion_firefox "${COMPANION_FIREFOX_EXTENSION_IDS}")
set(_companion_conffiles "")
foreach(_companion_browser IN LISTS COMPANION_BROWSERS)
  foreach(_companion_dir IN LISTS _companion_dirs_system_${_companion_browser})
    if(_companion_dir MATCHES "^/etc/" AND _companion_${_companion_family_${_companion_browser}})
      string(APPEND _companion_conffiles "${_companion_dir}/${COMPANION_HOST_NAME}.json\n")
    endif()
  endforeach()
endforeach()
file(WRITE "${_companion_debian}/conffiles" "${_companion_conffiles}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_companion_debian}/conffiles")

file(CONFIGURE OUTPUT "${_companion_debian}/package_check.cmake" CONTENT [==[
# Generated: cpack refuses a build that would make a package without manifests.
if(CPACK_GENERATOR STREQUAL "DEB")
  if(NOT "@CMAKE_INSTALL_PREFIX@" STREQUAL "/usr" OR NOT "@COMPANION_MANIFEST_SCOPE@" STREQUAL "system")
    message(FATAL_ERROR "The Debian package needs a build configured with CMAKE_INSTALL_PREFIX=/usr and COMPANION_MANIFEST_SCOPE=system (this one: @CMAKE_INSTALL_PREFIX@, @COMPANION_MANIFEST_SCOPE@)")
  endif()
  if("@COMPANION_CHROME_EXTENSION_IDS@@COMPANION_FIREFOX_EXTENSION_IDS@" STREQUAL "")
    message(FATAL_ERROR "The Debian package needs at least one extension id: set COMPANION_CHROME_EXTENSION_IDS or COMPANION_FIREFOX_EXTENSION_IDS")
  endif()
endif()
]==] @ONLY)
set(CPACK_PROJECT_CONFIG_FILE "${_companion_debian}/package_check.cmake")
include(CPack)

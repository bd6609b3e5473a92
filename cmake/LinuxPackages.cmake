# The Linux packages, built by CPack (scripts/package.sh wraps it): the
# Debian package (`cpack -G DEB`, cmake/DebianPackage.cmake) and the RPM
# package (`cpack -G RPM`, cmake/RpmPackage.cmake). Both hold the companion
# and companion-doctor in /usr/bin and the system-wide host manifests of every
# browser whose extension ids the build was given.
#
# The build must be configured for it: CMAKE_INSTALL_PREFIX=/usr,
# COMPANION_MANIFEST_SCOPE=system and at least one of the id options (the RPM
# package also COMPANION_LIB64_MANIFESTS=ON); cpack refuses any other build.
# The install step itself writes the manifests (under CPack's DESTDIR), so a
# package holds exactly what `cmake --install` writes.
#
# Reproducible: with SOURCE_DATE_EPOCH set (scripts/package.sh takes it from
# the last commit), every date and file time in a package is that time, so
# two builds of one commit are byte-identical wherever they are built.

# A package holds what the install step puts in place.
include("${CMAKE_CURRENT_LIST_DIR}/Manifests.cmake")

set(COMPANION_PACKAGE_MAINTAINER "Vantro Packaging <packaging@vantro.example>" CACHE STRING
    "The maintainer named by the packages")

set(CPACK_PACKAGE_NAME companion)
set(CPACK_PACKAGE_VENDOR Vantro)
set(CPACK_PACKAGE_CONTACT "${COMPANION_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay between a browser extension and the Vantro desktop agent")
set(CPACK_PACKAGE_DESCRIPTION "The browser starts the companion through native messaging. It relays the
extension's bytes to the Vantro desktop agent's per-user socket and back,
unchanged. companion-doctor reports why a browser cannot start it.")
set(CPACK_STRIP_FILES ON)
# The manifests carry the installed path, so a package is staged with
# DESTDIR under the real prefix rather than installed into a staging prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/PackageFileTimes.cmake")

set(_companion_packaging "${CMAKE_BINARY_DIR}/packaging")
# The documents both packages carry: the copyright file and the manual pages
# of the programs they hold, compressed (gzip -n: no name or time in them).
# The example agent's page goes with the agent, which only `cmake --install`
# puts in place.
install(FILES packaging/debian/copyright DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/companion" COMPONENT documents)
foreach(_companion_page IN ITEMS companion:documents companion-doctor:documents companion-agent:example)
  string(REPLACE ":" ";" _companion_page "${_companion_page}")
  list(GET _companion_page 0 _companion_program)
  list(GET _companion_page 1 _companion_component)
  file(COPY docs/man/${_companion_program}.1 DESTINATION "${_companion_packaging}")
  execute_process(COMMAND gzip -9nf "${_companion_packaging}/${_companion_program}.1" COMMAND_ERROR_IS_FATAL ANY)
  install(FILES "${_companion_packaging}/${_companion_program}.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
          COMPONENT ${_companion_component})
endforeach()

# cpack refuses a build without ids (package_check.cmake below).
companion_extension_ids(_companion_chrome COMPANION_CHROME_EXTENSION_IDS "${COMPANION_CHROME_EXTENSION_IDS}")
companion_extension_ids(_companion_firefox COMPANION_FIREFOX_EXTENSION_IDS "${COMPANION_FIREFOX_EXTENSION_IDS}")

include("${CMAKE_CURRENT_LIST_DIR}/DebianPackage.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/RpmPackage.cmake")

set(_companion_lib64 NO)
if(COMPANION_LIB64_MANIFESTS)
  set(_companion_lib64 YES)
endif()
file(CONFIGURE OUTPUT "${_companion_packaging}/package_check.cmake" CONTENT [==[
# Generated: cpack refuses a build that would make a package without
# manifests, and takes each package's components.
if(NOT CPACK_GENERATOR MATCHES "^(DEB|RPM)$")
  return()
endif()
if(NOT "@CMAKE_INSTALL_PREFIX@" STREQUAL "/usr" OR NOT "@COMPANION_MANIFEST_SCOPE@" STREQUAL "system")
  message(FATAL_ERROR "A package needs a build configured with CMAKE_INSTALL_PREFIX=/usr and COMPANION_MANIFEST_SCOPE=system (this one: @CMAKE_INSTALL_PREFIX@, @COMPANION_MANIFEST_SCOPE@)")
endif()
if("@_companion_chrome@@_companion_firefox@" STREQUAL "")
  message(FATAL_ERROR "A package needs at least one extension id: set COMPANION_CHROME_EXTENSION_IDS or COMPANION_FIREFOX_EXTENSION_IDS")
endif()
# The programs and manifests, the documents, and each package's own.
set(CPACK_INSTALL_CMAKE_PROJECTS "@CMAKE_BINARY_DIR@;companion;companion;/" "@CMAKE_BINARY_DIR@;companion;documents;/")
if(CPACK_GENERATOR STREQUAL "DEB")
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "@CMAKE_BINARY_DIR@;companion;debian;/")
elseif(NOT "@_companion_lib64@" STREQUAL "YES")
  message(FATAL_ERROR "The RPM package needs a build configured with COMPANION_LIB64_MANIFESTS=ON: the distributions it is for keep Firefox's folder in /usr/lib64")
endif()
]==] @ONLY)
set(CPACK_PROJECT_CONFIG_FILE "${_companion_packaging}/package_check.cmake")
include(CPack)

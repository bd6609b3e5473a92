# The Windows installers (MSIs built by wixl from
# packaging/windows/companion.wxs): companion.exe, companion-doctor.exe and
# the two host manifests, with the browsers' keys; per user (HKCU, no
# administrator rights) or per machine (HKLM, for every user).
#
# Target companion-msi builds packages/companion-<version>.msi (per user) and
# packages/companion-machine-<version>.msi (per machine) with the extension
# ids of COMPANION_CHROME_EXTENSION_IDS and COMPANION_FIREFOX_EXTENSION_IDS,
# and refuses to without any. The tests get installers of their own, with
# their own ids.
include("${CMAKE_CURRENT_LIST_DIR}/ManifestText.cmake")
companion_extension_id_options()
find_program(COMPANION_WIXL wixl DOC "wixl from msitools, which builds the Windows installer")
# The installers' source, with the host's name.
configure_file("${PROJECT_SOURCE_DIR}/packaging/windows/companion.wxs" "${CMAKE_BINARY_DIR}/msi/companion.wxs" @ONLY)

# An installer at output (relative to the build directory) of the given scope
# (user or machine), version and ids, built by the given target; with ALL
# after the ids, as part of the build.
function(companion_add_msi target output scope version chrome_ids firefox_ids)
  if(NOT COMPANION_WIXL)
    message(FATAL_ERROR "Building the Windows installer needs wixl: scripts/install-deps.sh package installs it")
  endif()
  # The manifests name companion.exe relative to their own folder, which both
  # browser families resolve on Windows: an installer cannot write a file
  # that holds the folder the user installs to.
  set(stage "${CMAKE_BINARY_DIR}/msi/${target}")
  companion_manifest_texts(chrome firefox "companion.exe" "${chrome_ids}" "${firefox_ids}")
  set(defines -D "Version=${version}" -D "Scope=${scope}")
  foreach(family IN ITEMS chrome firefox)
    set(has no)
    if(${family})
      file(CONFIGURE OUTPUT "${stage}/${COMPANION_HOST_NAME}.${family}.json" CONTENT "${${family}}")
      set(has yes)
    endif()
    list(APPEND defines -D "${family}=${has}")
  endforeach()
  set(wxs "${CMAKE_BINARY_DIR}/msi/companion.wxs")
  # The installer's platform is the program's: x86 for the shipped 32-bit build.
  set(arch x86)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(arch x64)
  endif()
  add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/${output}"
    COMMAND "${CMAKE_COMMAND}" -E copy $<TARGET_FILE:companion> $<TARGET_FILE:companion-doctor> "${stage}"
    COMMAND "${COMPANION_WIXL}" -a ${arch} ${defines} -o "${CMAKE_BINARY_DIR}/${output}" "${wxs}"
    WORKING_DIRECTORY "${stage}"
    DEPENDS companion companion-doctor "${wxs}"
    COMMENT "Building the installer ${output}" VERBATIM)
  add_custom_target(${target} ${ARGN} DEPENDS "${CMAKE_BINARY_DIR}/${output}")
endfunction()

companion_extension_ids(_companion_chrome COMPANION_CHROME_EXTENSION_IDS "${COMPANION_CHROME_EXTENSION_IDS}")
companion_extension_ids(_companion_firefox COMPANION_FIREFOX_EXTENSION_IDS "${COMPANION_FIREFOX_EXTENSION_IDS}")
if("${_companion_chrome}${_companion_firefox}" STREQUAL "")
  add_custom_target(companion-msi
    COMMAND "${CMAKE_COMMAND}" -E echo "The installer needs at least one extension id: set COMPANION_CHROME_EXTENSION_IDS or COMPANION_FIREFOX_EXTENSION_IDS"
    COMMAND "${CMAKE_COMMAND}" -E false VERBATIM)
else()
  companion_add_msi(companion-user-msi "packages/companion-${PROJECT_VERSION}.msi" user "${PROJECT_VERSION}"
                    "${COMPANION_CHROME_EXTENSION_IDS}" "${COMPANION_FIREFOX_EXTENSION_IDS}")
  companion_add_msi(companion-machine-msi "packages/companion-machine-${PROJECT_VERSION}.msi" machine
                    "${PROJECT_VERSION}" "${COMPANION_CHROME_EXTENSION_IDS}" "${COMPANION_FIREFOX_EXTENSION_IDS}")
  add_custom_target(companion-msi DEPENDS companion-user-msi companion-machine-msi)
endif()

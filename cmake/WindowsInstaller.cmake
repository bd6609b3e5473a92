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
#
# Two builds of one commit give the same bytes wherever the checkout is, with
# SOURCE_DATE_EPOCH set at configure time (scripts/package.sh sets it): the
# programs are built as cmake/mingw-common.cmake says, the files go into the
# cabinet with that time, the product code is a name-based UUID of the scope,
# platform and version, and packaging/windows/pin-msi-summary.py pins the
# summary's times and package code, which wixl takes from the moment.
#
# With COMPANION_SIGNING_PKCS12, osslsigncode signs the programs (Authenticode,
# SHA-256) before they go into an installer, then the installer; the password
# is read from COMPANION_SIGNING_PASSWORD_FILE, never given on a command line.
include("${CMAKE_CURRENT_LIST_DIR}/ManifestText.cmake")
companion_extension_id_options()
find_program(COMPANION_WIXL wixl DOC "wixl from msitools, which builds the Windows installer")
find_program(COMPANION_MSIINFO msiinfo DOC "msiinfo from msitools, which reads the installer's summary")
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(COMPANION_SIGNING_PKCS12 "" CACHE FILEPATH "PKCS#12 file that signs the programs and installers; empty: unsigned")
set(COMPANION_SIGNING_PASSWORD_FILE "" CACHE FILEPATH "File holding the PKCS#12 file's password alone; empty: none")
set(COMPANION_SIGNING_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping service for the signatures; empty: none")
set(_companion_epoch "$ENV{SOURCE_DATE_EPOCH}")
# ld takes the programs' PE time stamp from SOURCE_DATE_EPOCH: they are linked
# again when it changes.
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/source-date-epoch.txt" CONTENT "${_companion_epoch}\n")
set_property(TARGET companion companion-doctor APPEND PROPERTY
             LINK_DEPENDS "${CMAKE_BINARY_DIR}/source-date-epoch.txt")

# The osslsigncode command that signs the file after -in into the one after
# -out, in _companion_sign, and the files it reads; empty without a PKCS#12
# file.
set(_companion_sign)
set(_companion_signing_files)
if(COMPANION_SIGNING_PKCS12)
  find_program(COMPANION_OSSLSIGNCODE osslsigncode DOC "osslsigncode, which signs the programs and installers")
  if(NOT COMPANION_OSSLSIGNCODE)
    message(FATAL_ERROR "Signing needs osslsigncode: scripts/install-deps.sh package installs it")
  endif()
  set(_companion_sign "${COMPANION_OSSLSIGNCODE}" sign -pkcs12 "${COMPANION_SIGNING_PKCS12}" -h sha256)
  set(_companion_signing_files "${COMPANION_SIGNING_PKCS12}")
  if(COMPANION_SIGNING_PASSWORD_FILE)
    list(APPEND _companion_sign -readpass "${COMPANION_SIGNING_PASSWORD_FILE}")
    list(APPEND _companion_signing_files "${COMPANION_SIGNING_PASSWORD_FILE}")
  endif()
  if(COMPANION_SIGNING_TIMESTAMP_URL)
    list(APPEND _companion_sign -ts "${COMPANION_SIGNING_TIMESTAMP_URL}")
  endif()
endif()
# The installers' source, with the host's name.
configure_file("${PROJECT_SOURCE_DIR}/packaging/windows/companion.wxs" "${CMAKE_BINARY_DIR}/msi/companion.wxs" @ONLY)

# The product codes: name-based UUIDs of the scope, platform and version in
# this namespace, so that every version is a product of its own, as a major
# upgrade needs, and every build of one version the same.
set(_companion_product_codes 6a4cc3c2-4f5b-4d0e-9a3f-1d2c8e7b5a90)

# An installer at output (relative to the build directory) of the given scope
# (user or machine), version and ids, built by the given target; with ALL
# after the ids, as part of the build.
function(companion_add_msi target output scope version chrome_ids firefox_ids)
  if(NOT COMPANION_WIXL OR NOT COMPANION_MSIINFO)
    message(FATAL_ERROR "Building the Windows installer needs wixl and msiinfo: "
                        "scripts/install-deps.sh package installs them")
  endif()
  # The manifests name companion.exe relative to their own folder, which both
  # browser families resolve on Windows: an installer cannot write a file
  # that holds the folder the user installs to.
  set(stage "${CMAKE_BINARY_DIR}/msi/${target}")
  set(files "${stage}/companion.exe" "${stage}/companion-doctor.exe")
  companion_manifest_texts(chrome firefox "companion.exe" "${chrome_ids}" "${firefox_ids}")
  set(defines -D "Version=${version}" -D "Scope=${scope}")
  foreach(family IN ITEMS chrome firefox)
    set(has no)
    if(${family})
      file(CONFIGURE OUTPUT "${stage}/${COMPANION_HOST_NAME}.${family}.json" CONTENT "${${family}}")
      list(APPEND files "${stage}/${COMPANION_HOST_NAME}.${family}.json")
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
  string(UUID product_code NAMESPACE ${_companion_product_codes} NAME "${scope} ${arch} ${version}" TYPE SHA1 UPPER)
  list(APPEND defines -D "ProductCode=${product_code}")

  # The programs go into the stage as built or signed; wixl's installer is the
  # output, or is signed into it, its metadata (MsiDigitalSignatureEx) as
  # well. osslsigncode writes no file that exists.
  set(msi "${CMAKE_BINARY_DIR}/${output}")
  if(_companion_sign)
    set(unsigned "${stage}/unsigned.msi")
    set(stage_programs
      COMMAND "${CMAKE_COMMAND}" -E rm -f "${stage}/companion.exe" "${stage}/companion-doctor.exe" "${msi}"
      COMMAND ${_companion_sign} -in $<TARGET_FILE:companion> -out "${stage}/companion.exe"
      COMMAND ${_companion_sign} -in $<TARGET_FILE:companion-doctor> -out "${stage}/companion-doctor.exe")
    set(sign_msi COMMAND ${_companion_sign} -add-msi-dse -in "${unsigned}" -out "${msi}")
  else()
    set(unsigned "${msi}")
    set(stage_programs
      COMMAND "${CMAKE_COMMAND}" -E copy $<TARGET_FILE:companion> $<TARGET_FILE:companion-doctor> "${stage}")
    set(sign_msi)
  endif()
  # The cabinet takes each file's time.
  set(pin_file_times)
  if(NOT _companion_epoch STREQUAL "")
    set(pin_file_times COMMAND touch -d "@${_companion_epoch}" ${files})
  endif()
  set(pin_summary "${PROJECT_SOURCE_DIR}/packaging/windows/pin-msi-summary.py")
  add_custom_command(OUTPUT "${msi}"
    ${stage_programs}
    ${pin_file_times}
    COMMAND "${COMPANION_WIXL}" -a ${arch} ${defines} -o "${unsigned}" "${wxs}"
    COMMAND "${Python3_EXECUTABLE}" "${pin_summary}" "${COMPANION_MSIINFO}" "${unsigned}" ${_companion_epoch}
    ${sign_msi}
    WORKING_DIRECTORY "${stage}"
    DEPENDS companion companion-doctor "${wxs}" "${pin_summary}" ${_companion_signing_files}
    COMMENT "Building the installer ${output}" VERBATIM)
  add_custom_target(${target} ${ARGN} DEPENDS "${msi}")
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

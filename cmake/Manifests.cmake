# Install step: puts the companion and the example agent in place and registers the companion with the browsers through native-messaging host manifests.
#
# This file has two roles. Included by the project (configure time) it declares
# the options and the install rules; the install rules include it again at
# install time (COMPANION_INSTALL_TIME set) to write the manifests, so that the
# manifests carry the path the files were really installed to.
#
# Options (cache variables, each may also be overridden at install time with
# `cmake -D<name>=<value> -P <build>/cmake_install.cmake`):
#   COMPANION_MANIFEST_SCOPE         user | system | none
#   COMPANION_CHROME_EXTENSION_IDS   Chrome-family extension ids (Chrome, Chromium, Edge, Brave), ";" or "," separated
#   COMPANION_FIREFOX_EXTENSION_IDS  Firefox-family extension ids (Firefox, LibreWolf), ";" or "," separated
#   COMPANION_LIB64_MANIFESTS        ON writes the system-wide /usr/lib64 folders even where they do not exist yet

# Included once per run, however many modules include it for its functions.
include_guard(GLOBAL)
include("${CMAKE_CURRENT_LIST_DIR}/ManifestText.cmake")

# The browsers the install step registers with, in the order a diagnosis
# lists them, and the family of each: "chrome" reads allowed_origins,
# "firefox" allowed_extensions.
set(COMPANION_BROWSERS chrome chrome-beta chrome-unstable chromium edge brave brave-beta brave-nightly firefox librewolf)
foreach(_companion_browser IN LISTS COMPANION_BROWSERS)
  set(_companion_family_${_companion_browser} chrome)
endforeach()
set(_companion_family_firefox firefox)
set(_companion_family_librewolf firefox)

# The manifest directories, keyed by "<scope>_<browser>", relative to the
# user's configuration directory (user scope) or absolute (system scope); an
# empty one means the browser has no directory of its own in that scope. A
# system scope may list a second directory, marked "?", that is written only
# where its parent folder exists on the installing machine (or when
# COMPANION_LIB64_MANIFESTS is ON): it belongs to distributions that keep it.
# Firefox keeps its per-user directory under the home directory, not the
# configuration directory, hence the ~ marker resolved at install time.
# Chrome's channels: chrome/common/chrome_paths_linux.cc in Chromium
# (GetDefaultUserDataDirectory: "google-chrome", "google-chrome-beta",
# "google-chrome-unstable" under the configuration directory, and
# chrome_paths.cc puts NativeMessagingHosts in that directory); every channel
# of Google Chrome shares the one system-wide directory.
set(_companion_dirs_user_chrome          "google-chrome/NativeMessagingHosts")
set(_companion_dirs_user_chrome-beta     "google-chrome-beta/NativeMessagingHosts")
set(_companion_dirs_user_chrome-unstable "google-chrome-unstable/NativeMessagingHosts")
set(_companion_dirs_user_chromium        "chromium/NativeMessagingHosts")
set(_companion_dirs_user_edge            "microsoft-edge/NativeMessagingHosts")
set(_companion_dirs_user_brave           "BraveSoftware/Brave-Browser/NativeMessagingHosts")
# Brave's channels: brave-core's chromium_src/chrome/common/chrome_paths_linux.cc
# (BraveSoftware/Brave-Browser plus the channel's suffix) and
# common/brave_channel_info_posix.cc ("-Beta", "-Nightly"); the system-wide
# directory is shared by every channel, as with Chrome.
set(_companion_dirs_user_brave-beta      "BraveSoftware/Brave-Browser-Beta/NativeMessagingHosts")
set(_companion_dirs_user_brave-nightly   "BraveSoftware/Brave-Browser-Nightly/NativeMessagingHosts")
set(_companion_dirs_user_firefox         "~/.mozilla/native-messaging-hosts")
# LibreWolf: its patches/mozilla_dirs.patch renames Firefox's ".mozilla" and
# "/usr/lib{,64}/mozilla" to ".librewolf" and "/usr/lib{,64}/librewolf" in
# toolkit/xre/nsXREDirProvider.cpp, where Firefox finds its manifest folders.
set(_companion_dirs_user_librewolf       "~/.librewolf/native-messaging-hosts")
set(_companion_dirs_system_chrome          "/etc/opt/chrome/native-messaging-hosts")
set(_companion_dirs_system_chrome-beta     "")
set(_companion_dirs_system_chrome-unstable "")
set(_companion_dirs_system_chromium        "/etc/chromium/native-messaging-hosts")
set(_companion_dirs_system_edge            "/etc/opt/edge/native-messaging-hosts")
set(_companion_dirs_system_brave           "/etc/opt/brave/native-messaging-hosts")
set(_companion_dirs_system_brave-beta      "")
set(_companion_dirs_system_brave-nightly   "")
# Firefox: GetSystemParentDirectory in toolkit/xre/nsXREDirProvider.cpp is
# /usr/lib64/mozilla in builds with HAVE_USR_LIB64_DIR (the distributions
# with a /usr/lib64, such as Fedora), /usr/lib/mozilla otherwise.
set(_companion_dirs_system_firefox         "/usr/lib/mozilla/native-messaging-hosts;?/usr/lib64/mozilla/native-messaging-hosts")
set(_companion_dirs_system_librewolf       "/usr/lib/librewolf/native-messaging-hosts;?/usr/lib64/librewolf/native-messaging-hosts")

# The directories the install step writes for the given browser in the given scope.
function(_companion_manifest_dirs out scope browser)
  set(dirs "")
  foreach(dir IN LISTS _companion_dirs_${scope}_${browser})
    if(dir MATCHES "^[?](.*)$")
      set(dir "${CMAKE_MATCH_1}")
      get_filename_component(parent "${dir}" DIRECTORY)
      if(NOT COMPANION_LIB64_MANIFESTS AND NOT IS_DIRECTORY "${parent}")
        continue()
      endif()
    endif()
    if(scope STREQUAL "user")
      _companion_user_dir(dir "${dir}")
    endif()
    list(APPEND dirs "${dir}")
  endforeach()
  set(${out} "${dirs}" PARENT_SCOPE)
endfunction()

# A per-user directory: "~/..." under the home directory, anything else under
# the configuration directory, which Chrome-family browsers take from
# XDG_CONFIG_HOME when it is absolute.
function(_companion_user_dir out dir)
  if(NOT IS_ABSOLUTE "$ENV{HOME}")
    message(FATAL_ERROR "COMPANION_MANIFEST_SCOPE=user needs HOME to be an absolute path")
  endif()
  set(config "$ENV{XDG_CONFIG_HOME}")
  if(NOT IS_ABSOLUTE "${config}")
    set(config "$ENV{HOME}/.config")
  endif()
  if(dir MATCHES "^~/")
    string(REGEX REPLACE "^~" "$ENV{HOME}" dir "${dir}")
  else()
    set(dir "${config}/${dir}")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

# Writes the manifest where every browser of the family looks, under DESTDIR
# when that is set, and lists each in install_manifest.txt as file(INSTALL) would.
function(_companion_install_family scope family text)
  foreach(browser IN LISTS COMPANION_BROWSERS)
    if(NOT _companion_family_${browser} STREQUAL family)
      continue()
    endif()
    _companion_manifest_dirs(dirs "${scope}" "${browser}")
    foreach(dir IN LISTS dirs)
      set(path "${dir}/${COMPANION_HOST_NAME}.json")
      message(STATUS "Installing: $ENV{DESTDIR}${path}")
      file(WRITE "$ENV{DESTDIR}${path}" "${text}")
      list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${path}")
    endforeach()
  endforeach()
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()

# The path as the kernel reads it: each ".." steps out of the folder that the
# path before it leads to, symbolic links followed, where a lexical reading
# (get_filename_component, and file(REAL_PATH) itself) drops "link/.."
# without looking. The install step has put the files there, so the folders
# before each ".." exist; what follows the last one is kept as given.
function(_companion_kernel_path out path)
  string(APPEND path "/")
  string(FIND "${path}" "/../" at)
  while(NOT at EQUAL -1)
    string(SUBSTRING "${path}" 0 ${at} head)
    math(EXPR rest "${at} + 3")
    string(SUBSTRING "${path}" ${rest} -1 tail)
    if(head STREQUAL "")
      set(head "/")
    endif()
    file(REAL_PATH "${head}" real)
    get_filename_component(parent "${real}" DIRECTORY)
    string(REGEX REPLACE "/$" "" parent "${parent}")
    set(path "${parent}${tail}")
    string(FIND "${path}" "/../" at)
  endwhile()
  cmake_path(NORMAL_PATH path)
  string(REGEX REPLACE "(.)/$" "\\1" path "${path}")
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

# Install time: writes the manifests of every browser whose ids were given.
function(_companion_write_manifests)
  set(scope "${COMPANION_MANIFEST_SCOPE}")
  if(scope STREQUAL "none")
    return()
  endif()
  if(NOT scope MATCHES "^(user|system)$")
    message(FATAL_ERROR "COMPANION_MANIFEST_SCOPE must be user, system or none, not '${scope}'")
  endif()
  # The browsers take only an absolute path: a relative prefix is taken from
  # the folder the install runs in, where the files went.
  if(NOT IS_ABSOLUTE "${CMAKE_INSTALL_PREFIX}" AND NOT "$ENV{DESTDIR}" STREQUAL "")
    message(FATAL_ERROR "CMAKE_INSTALL_PREFIX '${CMAKE_INSTALL_PREFIX}' is relative: with DESTDIR it must be absolute")
  endif()
  set(bindir "${COMPANION_INSTALL_BINDIR}")
  cmake_path(ABSOLUTE_PATH bindir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}")
  cmake_path(ABSOLUTE_PATH bindir BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
  # Under DESTDIR the files land in a staging tree whose symbolic links need
  # not be the target system's, so where a ".." leads there is not known here.
  if(bindir MATCHES "/\\.\\.(/|$)" AND NOT "$ENV{DESTDIR}" STREQUAL "")
    message(FATAL_ERROR "The install folder '${bindir}' holds '..': with DESTDIR, give CMAKE_INSTALL_PREFIX and "
                        "CMAKE_INSTALL_BINDIR without it")
  endif()
  _companion_kernel_path(bindir "${bindir}")
  set(program "${bindir}/companion")

  companion_manifest_texts(chrome_text firefox_text "${program}" "${COMPANION_CHROME_EXTENSION_IDS}"
                           "${COMPANION_FIREFOX_EXTENSION_IDS}")
  foreach(family IN ITEMS chrome firefox)
    if(${family}_text)
      _companion_install_family("${scope}" ${family} "${${family}_text}")
    else()
      string(TOUPPER "${family}" upper)
      message(STATUS "No ${family}-family manifests: COMPANION_${upper}_EXTENSION_IDS is empty")
    endif()
  endforeach()
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()

if(COMPANION_INSTALL_TIME)
  _companion_write_manifests()
  return()
endif()

# The system-wide manifests that the install step writes under /etc for the
# configured ids: those that the packages mark as configuration.
function(companion_etc_manifests out)
  companion_extension_ids(ids_chrome COMPANION_CHROME_EXTENSION_IDS "${COMPANION_CHROME_EXTENSION_IDS}")
  companion_extension_ids(ids_firefox COMPANION_FIREFOX_EXTENSION_IDS "${COMPANION_FIREFOX_EXTENSION_IDS}")
  set(manifests "")
  foreach(browser IN LISTS COMPANION_BROWSERS)
    foreach(dir IN LISTS _companion_dirs_system_${browser})
      if(dir MATCHES "^/etc/" AND ids_${_companion_family_${browser}})
        list(APPEND manifests "${dir}/${COMPANION_HOST_NAME}.json")
      endif()
    endforeach()
  endforeach()
  set(${out} "${manifests}" PARENT_SCOPE)
endfunction()

# Configure time: the options and the install rules.
include(GNUInstallDirs)
set(COMPANION_MANIFEST_SCOPE "user" CACHE STRING "Where the install step registers the companion with the browsers: user, system or none")
set_property(CACHE COMPANION_MANIFEST_SCOPE PROPERTY STRINGS user system none)
companion_extension_id_options()
option(COMPANION_LIB64_MANIFESTS "Write the system-wide /usr/lib64 manifest folders even where they do not exist yet" OFF)
companion_extension_ids(_companion_ids COMPANION_CHROME_EXTENSION_IDS "${COMPANION_CHROME_EXTENSION_IDS}")
companion_extension_ids(_companion_ids COMPANION_FIREFOX_EXTENSION_IDS "${COMPANION_FIREFOX_EXTENSION_IDS}")

install(TARGETS companion companion-doctor RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT companion)
# The example agent is for trying the companion out; packages leave it out.
install(TARGETS companion-agent RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT example)

# The same table for companion-doctor, so that it looks where the install
# step writes.
set(_companion_rows "")
foreach(_companion_browser IN LISTS COMPANION_BROWSERS)
  string(REPLACE "?" "" _companion_system "${_companion_dirs_system_${_companion_browser}}")
  list(TRANSFORM _companion_system REPLACE "^(.+)$" "\"\\1\"")
  list(JOIN _companion_system ", " _companion_system)
  string(APPEND _companion_rows "    {\"${_companion_browser}\", \"${_companion_family_${_companion_browser}}\", "
         "\"${_companion_dirs_user_${_companion_browser}}\", {${_companion_system}}},\n")
endforeach()
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/generated/browser_folders.h" CONTENT [==[
// Generated from cmake/Manifests.cmake: where each browser looks for host manifests.
#pragma once

namespace companion_doctor {

struct BrowserFolders {
  const char* browser;
  const char* family;      // "chrome" (allowed_origins) or "firefox" (allowed_extensions)
  const char* userDir;     // under the configuration directory, or "~/..." under the home directory
  const char* systemDirs[2];  // absolute, in the order read; none when the browser has none of its own
};

inline constexpr BrowserFolders kBrowserFolders[] = {
@_companion_rows@};

}  // namespace companion_doctor
]==] @ONLY)

# The install-time values: a -D given to the install script wins over the cache.
set(_companion_install_code "set(COMPANION_INSTALL_TIME TRUE)\n")
foreach(_companion_var IN ITEMS COMPANION_MANIFEST_SCOPE COMPANION_CHROME_EXTENSION_IDS COMPANION_FIREFOX_EXTENSION_IDS COMPANION_LIB64_MANIFESTS)
  string(APPEND _companion_install_code "if(NOT DEFINED ${_companion_var})\n  set(${_companion_var} [==[${${_companion_var}}]==])\nendif()\n")
endforeach()
string(APPEND _companion_install_code
  "set(COMPANION_INSTALL_BINDIR [==[${CMAKE_INSTALL_BINDIR}]==])\n"
  "include([==[${CMAKE_CURRENT_LIST_FILE}]==])\n")
install(CODE "${_companion_install_code}" COMPONENT companion)

# The registry keys of each browser on Windows, the one home of them. Under
# HKCU or HKLM, <key>\NativeMessagingHosts\<host name> names the host's
# manifest. For each browser: the family of manifest it takes ("chrome" reads
# allowed_origins, "firefox" allowed_extensions), the key that register.cmd
# and the installers write for it (its own), and the keys it reads, in its
# order. register.cmd and companion.wxs are configured from this table, and
# companion-doctor gets it as browser_keys.h.
#
# What each browser reads: Chromium's launch_context_win.cc
# (GetManifestPathWithFlags): Chrome builds read Chrome's key, other builds
# Chromium's key and then Chrome's; Brave is such a build (brave-core changes
# nothing of that lookup). Edge reads its own key, then Chromium's, then
# Chrome's. Firefox reads Mozilla's (NativeManifests.sys.mjs).
include_guard(GLOBAL)

set(COMPANION_WINDOWS_BROWSERS chrome chromium edge brave firefox)
set(_companion_win_family_chrome chrome)
set(_companion_win_family_chromium chrome)
set(_companion_win_family_edge chrome)
set(_companion_win_family_brave chrome)
set(_companion_win_family_firefox firefox)
set(_companion_win_own_chrome [[Software\Google\Chrome]])
set(_companion_win_own_chromium [[Software\Chromium]])
set(_companion_win_own_edge [[Software\Microsoft\Edge]])
set(_companion_win_own_brave [[Software\BraveSoftware\Brave-Browser]])
set(_companion_win_own_firefox [[Software\Mozilla]])
set(_companion_win_reads_chrome [[Software\Google\Chrome]])
set(_companion_win_reads_chromium [[Software\Chromium]] [[Software\Google\Chrome]])
set(_companion_win_reads_edge [[Software\Microsoft\Edge]] [[Software\Chromium]] [[Software\Google\Chrome]])
set(_companion_win_reads_brave [[Software\Chromium]] [[Software\Google\Chrome]])
set(_companion_win_reads_firefox [[Software\Mozilla]])

# For each family, the keys written, as register.cmd lists them
# (COMPANION_<FAMILY>_KEYS_CMD) and as companion.wxs's registry values, the
# first of which keeps the family's component installed
# (COMPANION_<FAMILY>_REGISTRY_VALUES).
foreach(_companion_family IN ITEMS chrome firefox)
  string(TOUPPER "${_companion_family}" _companion_upper)
  set(_companion_cmd "")
  set(_companion_values "")
  set(_companion_key_path [[ KeyPath="yes"]])
  foreach(_companion_browser IN LISTS COMPANION_WINDOWS_BROWSERS)
    if(NOT _companion_win_family_${_companion_browser} STREQUAL _companion_family)
      continue()
    endif()
    set(_companion_key "${_companion_win_own_${_companion_browser}}")
    list(APPEND _companion_cmd "\"${_companion_key}\"")
    string(APPEND _companion_values
           "        <RegistryValue Root=\"$(var.Root)\" Key=\"${_companion_key}\\NativeMessagingHosts\\$(var.HostName)\"\n"
           "                       Type=\"string\" Value=\"[INSTALLDIR]$(var.HostName).${_companion_family}.json\""
           "${_companion_key_path}/>\n")
    set(_companion_key_path "")
  endforeach()
  list(JOIN _companion_cmd " " COMPANION_${_companion_upper}_KEYS_CMD)
  string(REGEX REPLACE "\n$" "" COMPANION_${_companion_upper}_REGISTRY_VALUES "${_companion_values}")
endforeach()

# companion-doctor's table of the keys each browser reads, at output.
function(companion_windows_keys_header output)
  set(rows "")
  foreach(browser IN LISTS COMPANION_WINDOWS_BROWSERS)
    set(keys "")
    foreach(key IN LISTS _companion_win_reads_${browser})
      string(REPLACE [[\]] [[\\]] key "${key}")
      list(APPEND keys "\"${key}\"")
    endforeach()
    list(JOIN keys ", " keys)
    string(APPEND rows "    {\"${browser}\", \"${_companion_win_family_${browser}}\", {${keys}}},\n")
  endforeach()
  file(CONFIGURE OUTPUT "${output}" CONTENT [==[
// Generated from cmake/WindowsKeys.cmake: the registry keys each browser reads for host manifests.
#pragma once

namespace companion_doctor {

struct BrowserKeys {
  const char* browser;
  const char* family;   // "chrome" (allowed_origins) or "firefox" (allowed_extensions)
  const char* keys[3];  // under HKCU or HKLM, before \NativeMessagingHosts, in the order read
};

inline constexpr BrowserKeys kBrowserKeys[] = {
@rows@};

}  // namespace companion_doctor
]==] @ONLY)
endfunction()

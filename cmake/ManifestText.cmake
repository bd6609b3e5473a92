# The host manifest's text, the same on every platform: the host's name and
# description, the extension id lists and the JSON. Included by the Linux
# install step and by the Windows installer's build.
include_guard(GLOBAL)
include("${CMAKE_CURRENT_LIST_DIR}/WindowsKeys.cmake")

set(COMPANION_HOST_NAME "com.vantro.companion")
set(COMPANION_HOST_DESCRIPTION "Relays an extension's messages to the Vantro desktop agent")

# The Windows registration script with the host's name and description, at
# output; a batch file keeps its CRLF line ends.
function(companion_configure_register_script output)
  configure_file("${PROJECT_SOURCE_DIR}/packaging/windows/register.cmd" "${output}" @ONLY NEWLINE_STYLE CRLF)
endfunction()

# The options that say which extensions may start the companion, the same on
# every platform; declared at configure time.
macro(companion_extension_id_options)
  set(COMPANION_CHROME_EXTENSION_IDS "" CACHE STRING "Extension ids allowed to start the companion in Chrome, Chromium, Edge and Brave")
  set(COMPANION_FIREFOX_EXTENSION_IDS "" CACHE STRING "Extension ids allowed to start the companion in Firefox and LibreWolf")
endmacro()

# Fails on Chrome-family ids that the browsers would never match (32 letters a-p).
function(_companion_check_chrome_ids ids)
  foreach(id IN LISTS ids)
    string(LENGTH "${id}" length)
    if(NOT id MATCHES "^[a-p]+$" OR NOT length EQUAL 32)
      message(FATAL_ERROR "COMPANION_CHROME_EXTENSION_IDS: '${id}' is not a Chrome extension id (32 letters a to p)")
    endif()
  endforeach()
endfunction()

# Fails on Firefox-family ids that Firefox refuses in a manifest: its schema
# (toolkit/components/extensions/schemas/manifest.json, type ExtensionID)
# takes a {GUID} or an email-like id, the letters in either case, and
# NativeManifests.sys.mjs refuses the whole manifest for one id it does not take.
function(_companion_check_firefox_ids ids)
  string(REPEAT "[0-9A-Fa-f]" 4 hex4)
  string(REPEAT "${hex4}" 2 hex8)
  string(REPEAT "${hex4}" 3 hex12)
  set(word "[A-Za-z0-9._-]")
  foreach(id IN LISTS ids)
    if(NOT id MATCHES "^{${hex8}-${hex4}-${hex4}-${hex4}-${hex12}}$" AND NOT id MATCHES "^${word}*@${word}+$")
      message(FATAL_ERROR "COMPANION_FIREFOX_EXTENSION_IDS: '${id}' is not a Firefox add-on id "
                          "(a {GUID} such as {0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}, or name@domain of letters, digits, '.', '-' and '_')")
    endif()
  endforeach()
endfunction()

# The ids in the text of the id option (COMPANION_CHROME_EXTENSION_IDS or
# COMPANION_FIREFOX_EXTENSION_IDS): separated by "," or ";", blanks around
# them dropped, each checked as the browsers of the family take it; text of
# separators only holds no id. A character that no id has stops it before the
# text is split, so that the message shows what was given.
function(companion_extension_ids out option text)
  if(NOT text MATCHES "^[A-Za-z0-9._@{}, \t;-]*$")
    message(FATAL_ERROR "${option}: '${text}' holds a character that no extension id has")
  endif()
  string(REPLACE "," ";" ids "${text}")
  list(TRANSFORM ids STRIP)
  list(REMOVE_ITEM ids "")
  if(option MATCHES "^COMPANION_CHROME_")
    _companion_check_chrome_ids("${ids}")
  else()
    _companion_check_firefox_ids("${ids}")
  endif()
  set(${out} "${ids}" PARENT_SCOPE)
endfunction()

# Quotes text as a JSON string.
function(_companion_json_string out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  string(REPLACE "\t" "\\t" text "${text}")
  string(REPLACE "\r" "\\r" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# Builds a JSON array of strings, one per line, from a CMake list.
function(_companion_json_array out items)
  set(lines "")
  foreach(item IN LISTS items)
    _companion_json_string(quoted "${item}")
    list(APPEND lines "    ${quoted}")
  endforeach()
  list(JOIN lines ",\n" body)
  set(${out} "[\n${body}\n  ]" PARENT_SCOPE)
endfunction()

# The manifest text; key is allowed_origins (Chrome family) or allowed_extensions (Firefox).
function(_companion_manifest_text out program key values)
  _companion_json_string(name "${COMPANION_HOST_NAME}")
  _companion_json_string(description "${COMPANION_HOST_DESCRIPTION}")
  _companion_json_string(path "${program}")
  _companion_json_array(allowed "${values}")
  set(${out} "{\n  \"name\": ${name},\n  \"description\": ${description},\n  \"path\": ${path},\n  \"type\": \"stdio\",\n  \"${key}\": ${allowed}\n}\n" PARENT_SCOPE)
endfunction()

# Both manifests' texts for the given program path and extension ids (each
# "," or ";" separated); a family without ids gets an empty text.
function(companion_manifest_texts chrome_out firefox_out program chrome_id_text firefox_id_text)
  companion_extension_ids(chrome_ids COMPANION_CHROME_EXTENSION_IDS "${chrome_id_text}")
  set(chrome_text "")
  if(chrome_ids)
    list(TRANSFORM chrome_ids PREPEND "chrome-extension://" OUTPUT_VARIABLE origins)
    list(TRANSFORM origins APPEND "/")
    _companion_manifest_text(chrome_text "${program}" allowed_origins "${origins}")
  endif()
  companion_extension_ids(firefox_ids COMPANION_FIREFOX_EXTENSION_IDS "${firefox_id_text}")
  set(firefox_text "")
  if(firefox_ids)
    _companion_manifest_text(firefox_text "${program}" allowed_extensions "${firefox_ids}")
  endif()
  set(${chrome_out} "${chrome_text}" PARENT_SCOPE)
  set(${firefox_out} "${firefox_text}" PARENT_SCOPE)
endfunction()

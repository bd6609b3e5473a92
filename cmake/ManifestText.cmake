# The host manifest's text, the same on every platform: the host's name and
# description, the extension id lists and the JSON. Included by the Linux
# install step and by the Windows installer's build.

set(COMPANION_HOST_NAME "com.vantro.companion")
set(COMPANION_HOST_DESCRIPTION "Relays an extension's messages to the Vantro desktop agent")

# The options that say which extensions may start the companion, the same on
# every platform; declared at configure time.
macro(companion_extension_id_options)
  set(COMPANION_CHROME_EXTENSION_IDS "" CACHE STRING "Extension ids allowed to start the companion in Chrome, Chromium, Edge and Brave")
  set(COMPANION_FIREFOX_EXTENSION_IDS "" CACHE STRING "Extension ids allowed to start the companion in Firefox and LibreWolf")
endmacro()

# Splits a "," or ";" separated id list into a CMake list.
function(_companion_split_ids out text)
  string(REPLACE "," ";" ids "${text}")
  list(TRANSFORM ids STRIP)
  list(REMOVE_ITEM ids "")
  set(${out} "${ids}" PARENT_SCOPE)
endfunction()

# Fails on Chrome-family ids that the browsers would never match (32 letters a-p).
function(_companion_check_chrome_ids ids)
  foreach(id IN LISTS ids)
    string(LENGTH "${id}" length)
    if(NOT id MATCHES "^[a-p]+$" OR NOT length EQUAL 32)
      message(FATAL_ERROR "COMPANION_CHROME_EXTENSION_IDS: '${id}' is not a Chrome extension id (32 letters a to p)")
    endif()
  endforeach()
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
  _companion_split_ids(chrome_ids "${chrome_id_text}")
  _companion_check_chrome_ids("${chrome_ids}")
  set(chrome_text "")
  if(chrome_ids)
    list(TRANSFORM chrome_ids PREPEND "chrome-extension://" OUTPUT_VARIABLE origins)
    list(TRANSFORM origins APPEND "/")
    _companion_manifest_text(chrome_text "${program}" allowed_origins "${origins}")
  endif()
  _companion_split_ids(firefox_ids "${firefox_id_text}")
  set(firefox_text "")
  if(firefox_ids)
    _companion_manifest_text(firefox_text "${program}" allowed_extensions "${firefox_ids}")
  endif()
  set(${chrome_out} "${chrome_text}" PARENT_SCOPE)
  set(${firefox_out} "${firefox_text}" PARENT_SCOPE)
endfunction()

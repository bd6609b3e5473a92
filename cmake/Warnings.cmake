# The compiler warnings of the project's own code. They are set on the
# project's targets, not globally, so that other projects' code built here
# (GoogleTest's sources) is not judged by them. The presets turn
# COMPANION_WARNINGS_AS_ERRORS on, so that no build the test command makes
# passes with a warning.
option(COMPANION_WARNINGS_AS_ERRORS "Fail the build on a warning in the project's own code" OFF)

set(_companion_warnings -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
if(COMPANION_WARNINGS_AS_ERRORS)
  list(APPEND _companion_warnings -Werror)
endif()

# Gives the warnings to every compiled target of dir and of the directories
# added below it from this source tree; run once every target is defined, so
# that a new target cannot be left out.
function(companion_apply_warnings dir)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      target_compile_options(${target} PRIVATE ${_companion_warnings})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    cmake_path(IS_PREFIX CMAKE_SOURCE_DIR "${subdir}" NORMALIZE own)
    if(own)
      companion_apply_warnings("${subdir}")
    endif()
  endforeach()
endfunction()

# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged files before it makes
# a package: with SOURCE_DATE_EPOCH set, every staged file and folder gets that
# time, so that neither the checkout's file times nor the build's reach a
# package.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  message(STATUS "Setting the times of ${CPACK_TEMPORARY_DIRECTORY} to $ENV{SOURCE_DATE_EPOCH}")
  execute_process(COMMAND find "${CPACK_TEMPORARY_DIRECTORY}" -exec touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" {} +
                  COMMAND_ERROR_IS_FATAL ANY)
endif()

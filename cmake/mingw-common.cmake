# Lines shared by the MinGW-w64 toolchain files: a static Windows program whose
# tests run under Wine. The including file sets COMPANION_MINGW_TRIPLE and
# COMPANION_WINE_BITS (the loader's, 32 or 64) first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${COMPANION_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${COMPANION_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${COMPANION_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${COMPANION_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# No MinGW runtime DLL to ship: the program imports system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# The same programs wherever the checkout is: the source folder becomes "." in
# the source file names that log records carry (__FILE__) and in the debug
# information, as dpkg-buildflags has it for the Linux packages. The PE time
# stamp is SOURCE_DATE_EPOCH when it is set (binutils' ld takes it from there).
get_filename_component(_companion_source "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CXX_FLAGS_INIT "-ffile-prefix-map=${_companion_source}=.")

# Each build tree has its own Wine prefix. The programs run in the Wine
# environment of scripts/wine.sh, which the scripts source as well.
get_filename_component(_companion_wine_script "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_companion_wine_script} run ${COMPANION_WINE_BITS} ${CMAKE_BINARY_DIR}/wineprefix)

# Tests are listed when CTest runs, not when they are built: the build must
# not start Wine (a 32-bit program cannot run on every machine, and a cold Wine
# server started from the build would inherit its output pipes).
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

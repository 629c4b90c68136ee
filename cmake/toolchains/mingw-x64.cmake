set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The test programs run under wine64, in a prefix of the build's own (created on first use by
# tests/win32/wine-run, which also maps the removable drive the registry tests need). Test
# discovery runs the programs too, so it waits for ctest rather than running during the build.
set(STELVARION_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
set(STELVARION_WINE_REMOVABLE_DRIVE R)
get_filename_component(_stelvarion_wine_run "${CMAKE_CURRENT_LIST_DIR}/../../tests/win32/wine-run" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${_stelvarion_wine_run}"
    --prefix "${STELVARION_WINE_PREFIX}"
    --removable-drive ${STELVARION_WINE_REMOVABLE_DRIVE})
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Included by the toolchains whose test programs run under wine, after STELVARION_WINE_ARCH is set
# (win32 or win64). The programs run in a prefix of the build's own (created on first use by
# tests/win32/wine-run, which also maps the removable drive the registry tests need). Each test
# program is one test there (cmake/googletest.cmake); should one be discovered case by case,
# discovery runs it under wine, so it waits for ctest rather than running during the build.
set(STELVARION_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
set(STELVARION_WINE_REMOVABLE_DRIVE R)
get_filename_component(_stelvarion_wine_run "${CMAKE_CURRENT_LIST_DIR}/../../tests/win32/wine-run" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${_stelvarion_wine_run}"
    --arch ${STELVARION_WINE_ARCH}
    --prefix "${STELVARION_WINE_PREFIX}"
    --removable-drive ${STELVARION_WINE_REMOVABLE_DRIVE})
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# The 32-bit Windows build of the test suites, run under wine32. GoogleTest needs std::mutex,
# which only the posix-thread runtime of mingw-w64 provides, so the tests use that compiler;
# the release program (mingw-i686.cmake) keeps the win32-thread runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The test programs run under wine (win32).
set(STELVARION_WINE_ARCH win32)
include("${CMAKE_CURRENT_LIST_DIR}/wine-tests.cmake")

# GoogleTest: the installed package on the build machine, or the Debian source tree
# (package googletest) built with the cross compiler for the Windows test programs.
if(CMAKE_CROSSCOMPILING)
  set(STELVARION_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
  if(NOT EXISTS ${STELVARION_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found at ${STELVARION_GTEST_SOURCE} (Debian package googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${STELVARION_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Newer GoogleTest trees define the namespaced targets themselves.
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gmock ALIAS gmock)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# Under wine a program's start costs far more than its tests: one process per test case made the
# 32-bit suite (637 cases) take minutes, where each program run whole takes about a second. So
# the builds whose tests run through an emulator register every test program as one test that
# runs all its cases; a failure still names its cases in the output shown. The Linux builds keep
# one test per case.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  function(gtest_discover_tests target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "WORKING_DIRECTORY" "EXTRA_ARGS;PROPERTIES")
    if(arg_UNPARSED_ARGUMENTS)
      message(FATAL_ERROR "gtest_discover_tests(${target}): under an emulator only WORKING_DIRECTORY, "
                          "EXTRA_ARGS and PROPERTIES are supported, not ${arg_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT arg_WORKING_DIRECTORY)
      set(arg_WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    endif()
    add_test(NAME ${target}
             COMMAND ${target} --gtest_also_run_disabled_tests ${arg_EXTRA_ARGS}
             WORKING_DIRECTORY ${arg_WORKING_DIRECTORY})
    if(arg_PROPERTIES)
      set_tests_properties(${target} PROPERTIES ${arg_PROPERTIES})
    endif()
  endfunction()
endif()

# What the build does with the targets of tests/ as a whole.
#
# GoogleTest's header, parsed once per build instead of once per test file: every target under
# tests/ that links GoogleTest reuses one precompiled copy. The header is about a third of a
# test file's compile time (GCC, debug); the precompiled copy costs about one test file.
#
# Off when a compiler launcher is set: ccache does not cache compilations that use a
# precompiled header unless told to be sloppy about it, and with a warm cache the parse is
# free anyway. -DSTELVARION_PRECOMPILED_GTEST=OFF turns it off by hand (e.g. to check that
# every test file includes what it uses).
if(CMAKE_CXX_COMPILER_LAUNCHER)
  set(_stelvarion_pch_default OFF)
else()
  set(_stelvarion_pch_default ON)
endif()
option(STELVARION_PRECOMPILED_GTEST "Precompile GoogleTest's header for the tests" ${_stelvarion_pch_default})

# True when the target links GoogleTest, directly or through a project library.
function(_stelvarion_links_gtest target out)
  set(${out} FALSE PARENT_SCOPE)
  get_target_property(libraries ${target} LINK_LIBRARIES)
  if(NOT libraries)
    return()
  endif()
  foreach(library IN LISTS libraries)
    if(library MATCHES "^GTest::|^gtest|^gmock")
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
    if(TARGET ${library})
      get_target_property(imported ${library} IMPORTED)
      get_target_property(aliased ${library} ALIASED_TARGET)
      if(NOT imported AND NOT aliased)
        _stelvarion_links_gtest(${library} found)
        if(found)
          set(${out} TRUE PARENT_SCOPE)
          return()
        endif()
      endif()
    endif()
  endforeach()
endfunction()

# Every target defined in the directory or below it.
function(stelvarion_targets_below directory out)
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    stelvarion_targets_below(${subdirectory} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

stelvarion_targets_below(${PROJECT_SOURCE_DIR}/tests stelvarion_test_targets)

if(STELVARION_PRECOMPILED_GTEST)
  set(_stelvarion_pch_source ${CMAKE_BINARY_DIR}/gtest_pch.cpp)
  file(CONFIGURE OUTPUT ${_stelvarion_pch_source} CONTENT "// Carries the tests' precompiled header.\n")
  add_library(stelvarion_gtest_pch OBJECT ${_stelvarion_pch_source})
  # The same flags as every test file, so that the precompiled header is valid for them all.
  target_link_libraries(stelvarion_gtest_pch PRIVATE stelvarion_options GTest::gtest)
  target_precompile_headers(stelvarion_gtest_pch PRIVATE <gtest/gtest.h>)
  foreach(target IN LISTS stelvarion_test_targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|OBJECT_LIBRARY)$")
      _stelvarion_links_gtest(${target} links)
      if(links)
        target_precompile_headers(${target} REUSE_FROM stelvarion_gtest_pch)
      endif()
    endif()
  endforeach()
endif()

# Every program of tests/, for the builds that only run the tests: the sanitizer build, and the
# 32-bit Windows test build, whose GUI and smoke tests run the release build's programs. The
# front ends and the Windows programs these builds would also make run in no test of theirs.
add_custom_target(stelvarion_test_programs)
foreach(target IN LISTS stelvarion_test_targets)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    add_dependencies(stelvarion_test_programs ${target})
  endif()
endforeach()

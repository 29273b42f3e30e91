# Helpers shared by every directory of the tree.

# The version of the suite: the project() line of the top CMakeLists.txt, the
# one place it is kept. Programs read it from suite_version.h (target
# suite_version); the Windows DLLs carry it in their version resource.
configure_file(${CMAKE_CURRENT_LIST_DIR}/suite_version.h.in
               ${CMAKE_BINARY_DIR}/generated/suite_version.h @ONLY)
add_library(suite_version INTERFACE)
target_include_directories(suite_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
if(SUITE_WINDOWS)
  enable_language(RC)
endif()

# GoogleTest: the system package on the host, built from Debian's sources for linux32.
set(SUITE_HAVE_GTEST OFF)
if(NOT SUITE_WINDOWS)
  if(SUITE_LINUX32)
    if(EXISTS /usr/src/googletest/CMakeLists.txt AND NOT TARGET gtest)
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
      add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
      if(NOT TARGET GTest::gtest)
        add_library(GTest::gtest ALIAS gtest)
        add_library(GTest::gtest_main ALIAS gtest_main)
      endif()
    endif()
    set(SUITE_HAVE_GTEST ON)
  else()
    find_package(GTest REQUIRED)
    set(SUITE_HAVE_GTEST ON)
  endif()
  include(GoogleTest)
endif()

# suite_add_gtest(NAME SOURCES src... LIBS lib...)
# One GoogleTest program, registered with ctest case by case. Under linux32
# ctest runs it through qemu-i386-static (CMAKE_CROSSCOMPILING_EMULATOR).
function(suite_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT SUITE_HAVE_GTEST)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    SUITE_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    SUITE_TESTDATA_DIR="${CMAKE_SOURCE_DIR}/tests/data")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 600)
endfunction()

# suite_check_dll(TARGET EXPECT file)
# Static check of a Windows DLL: its export names and ordinals, the DLLs it
# imports and its version resource, read from the file and compared with an
# expectation file (@VERSION@ there is the suite version).
function(suite_check_dll target)
  cmake_parse_arguments(ARG "" "EXPECT" "" ${ARGN})
  if(NOT SUITE_WINDOWS OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    return()
  endif()
  find_program(SUITE_PYTHON python3 REQUIRED)
  add_test(NAME ${target}.exports
    COMMAND ${SUITE_PYTHON} ${CMAKE_SOURCE_DIR}/tests/static/check_dll.py
            --objdump ${SUITE_OBJDUMP} --expect ${ARG_EXPECT} --version ${PROJECT_VERSION}
            $<TARGET_FILE:${target}>)
endfunction()

# suite_version_resource(TARGET DESCRIPTION text)
# On Windows, gives the DLL TARGET a version resource: the suite version as
# FileVersion and ProductVersion, DESCRIPTION as FileDescription, TARGET.dll as
# OriginalFilename. Elsewhere nothing.
function(suite_version_resource target)
  cmake_parse_arguments(ARG "" "DESCRIPTION" "" ${ARGN})
  if(NOT SUITE_WINDOWS)
    return()
  endif()
  set(SUITE_RC_NAME ${target})
  set(SUITE_RC_FILENAME ${target}.dll)
  set(SUITE_RC_DESCRIPTION "${ARG_DESCRIPTION}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

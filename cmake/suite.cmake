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
    if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
      message(FATAL_ERROR "linux32 builds GoogleTest from its sources: /usr/src/googletest is missing "
                          "(Debian: googletest, see scripts/setup.sh)")
    endif()
    if(NOT TARGET gtest)
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

# suite_postgres_fixture()
# The ctest fixture "postgres": a throwaway PostgreSQL (tests/support/postgres.sh)
# started once before the first test that requires it and stopped after the
# last. Its owner's URI is in ${SUITE_POSTGRES_DIR}/uri. Defined once, on demand.
set(SUITE_POSTGRES_DIR "${CMAKE_BINARY_DIR}/postgres-test")
function(suite_postgres_fixture)
  get_property(defined GLOBAL PROPERTY SUITE_POSTGRES_FIXTURE)
  if(defined)
    return()
  endif()
  set_property(GLOBAL PROPERTY SUITE_POSTGRES_FIXTURE ON)
  set(script "${CMAKE_SOURCE_DIR}/tests/support/postgres.sh")
  add_test(NAME postgres.start COMMAND bash "${script}" start "${SUITE_POSTGRES_DIR}")
  add_test(NAME postgres.stop COMMAND bash "${script}" stop "${SUITE_POSTGRES_DIR}")
  set_tests_properties(postgres.start PROPERTIES FIXTURES_SETUP postgres TIMEOUT 180)
  set_tests_properties(postgres.stop PROPERTIES FIXTURES_CLEANUP postgres TIMEOUT 60)
endfunction()

# The test properties that make a test require the fixture and tell it where
# the URI is (LUMBRA_TEST_POSTGRES_URI_FILE).
set(SUITE_POSTGRES_PROPERTIES
  FIXTURES_REQUIRED postgres
  ENVIRONMENT "LUMBRA_TEST_POSTGRES_URI_FILE=${SUITE_POSTGRES_DIR}/uri")

# suite_postgres_test(NAME COMMAND command args...)
# A test (a script, say) that requires the PostgreSQL fixture.
function(suite_postgres_test name)
  cmake_parse_arguments(ARG "" "" "COMMAND" ${ARGN})
  suite_postgres_fixture()
  add_test(NAME ${name} COMMAND ${ARG_COMMAND})
  set_tests_properties(${name} PROPERTIES ${SUITE_POSTGRES_PROPERTIES})
endfunction()

# suite_add_gtest(NAME SOURCES src... LIBS lib... [POSTGRES])
# One GoogleTest program, registered with ctest case by case. Under linux32
# ctest runs it through qemu-i386-static (CMAKE_CROSSCOMPILING_EMULATOR).
# POSTGRES: every case requires the PostgreSQL fixture.
function(suite_add_gtest name)
  cmake_parse_arguments(ARG "POSTGRES" "" "SOURCES;LIBS" ${ARGN})
  if(NOT SUITE_HAVE_GTEST)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    SUITE_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    SUITE_TESTDATA_DIR="${CMAKE_SOURCE_DIR}/tests/data")
  set(properties TIMEOUT 600)
  if(ARG_POSTGRES)
    suite_postgres_fixture()
    list(APPEND properties ${SUITE_POSTGRES_PROPERTIES})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES ${properties})
endfunction()

# suite_add_deliverable(NAME SOURCES src... LIBS lib... EXPORTS source DEF file
#                       DESCRIPTION text)
# One of the three libraries, made the one way:
#   NAME_core       the library's logic (SOURCES), static, linking LIBS; tests
#                   of its internals link it
#   NAME            the deliverable: the export layer EXPORTS over the core;
#                   NAME.dll on Windows (its exports pinned by the .def file
#                   DEF, a version resource with DESCRIPTION), libNAME.so
#                   elsewhere (the exports its only visible symbols)
#   NAME_inprocess  the same export layer as a static library, for the tests,
#                   benchmarks, fuzz targets and tools that call the exports
#                   in-process, where they can replace platform calls
# Everything else links NAME as a host does.
function(suite_add_deliverable name)
  cmake_parse_arguments(ARG "" "EXPORTS;DEF;DESCRIPTION" "SOURCES;LIBS" ${ARGN})
  add_library(${name}_core STATIC ${ARG_SOURCES})
  set_target_properties(${name}_core PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${name}_core PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name}_core PUBLIC ${ARG_LIBS})

  add_library(${name} SHARED ${ARG_EXPORTS})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${name}_core)
  suite_export_def(${name} DEF ${ARG_DEF})
  if(SUITE_WINDOWS)
    set_target_properties(${name} PROPERTIES PREFIX "" IMPORT_PREFIX "" OUTPUT_NAME ${name})
  endif()
  suite_version_resource(${name} DESCRIPTION "${ARG_DESCRIPTION}")

  add_library(${name}_inprocess STATIC ${ARG_EXPORTS})
  target_link_libraries(${name}_inprocess PUBLIC ${name}_core)
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

# suite_export_def(TARGET DEF file)
# On Windows, pins the exports of the DLL TARGET by the 32-bit .def file DEF:
# as it stands for 32 bits; for 64 bits (one calling convention, no decoration)
# made from it at configure time, each "NAME = SYMBOL@N" becoming "NAME = SYMBOL"
# ("NAME" alone where both are the same), names and ordinals unchanged. The
# 64-bit file is written to the build folder as TARGET-x64.def. Elsewhere nothing.
function(suite_export_def target)
  cmake_parse_arguments(ARG "" "DEF" "" ${ARGN})
  if(NOT SUITE_WINDOWS)
    return()
  endif()
  set(def ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_DEF})
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    file(STRINGS ${def} lines)
    set(text "; ${target}.dll (64-bit): made from ${ARG_DEF}, the same names and ordinals without decoration.\n")
    foreach(line IN LISTS lines)
      if(line MATCHES "^[ \t]*;")
        continue()
      endif()
      if(line MATCHES "^([ \t]*)([A-Za-z_][A-Za-z0-9_@]*) = ([A-Za-z_][A-Za-z0-9_]*)@[0-9]+( .*)$")
        if(CMAKE_MATCH_2 STREQUAL CMAKE_MATCH_3)
          set(line "${CMAKE_MATCH_1}${CMAKE_MATCH_2}${CMAKE_MATCH_4}")
        else()
          set(line "${CMAKE_MATCH_1}${CMAKE_MATCH_2} = ${CMAKE_MATCH_3}${CMAKE_MATCH_4}")
        endif()
      endif()
      string(APPEND text "${line}\n")
    endforeach()
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}-x64.def)
    file(WRITE ${def} "${text}")
  endif()
  target_sources(${target} PRIVATE ${def})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${def})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_DEF})
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
